// The command line: service mode and the preset of the console's languages.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/base.h"
#include "shell/shell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line((const char*)data, size);  // up to its first zero, as Windows gives it
    ParseCommandLine(line.c_str());
    if (ServiceFlag != 0 && ServiceFlag != 1) abort();
    if (LanguageCount < 1 || LanguageCount > 4) abort();
    for (int i = 0; i < LanguageCount; i++)
        if (LanguageList[i] > 3) abort();
    return 0;
}

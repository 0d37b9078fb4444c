// kq.ini as a disk or an editor may leave it: the reader must not fail on any bytes,
// and after an update the new value must be the one read back.
#include <cstdlib>
#include <string>

#include "platform/posix/posix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text((const char*)data, size);
    std::string value;
    ProfileRead(text, "Kqsfupdt", "Mac", &value);
    std::string updated = ProfileUpdate(text, "Kqsfupdt", "Mac", "00A1FE");
    if (!ProfileRead(updated, "Kqsfupdt", "Mac", &value) || value != "00A1FE") abort();
    // A second update finds its own line again and adds nothing.
    std::string again = ProfileUpdate(updated, "Kqsfupdt", "Mac", "00A1FF");
    if (again.size() != updated.size()) abort();
    return 0;
}

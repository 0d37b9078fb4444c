// fixture.cpp - CoreTest: a fresh program in a scratch folder before each test, everything
// stopped and removed after it, a menu command run to its end, and the log read back.
#include "tests/backend/fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/base.h"
#include "link/link.h"
#include "platform/platform.h"
#include "record/record.h"
#include "base/screen.h"
#include "shell/shell.h"

void CoreTest::SetUp() {
    testbed::Reset();
    char buffer[4096];
    previousDir_ = getcwd(buffer, sizeof buffer) ? buffer : "/tmp";
    char pattern[] = "/tmp/kqtest.XXXXXX";
    scratch_ = mkdtemp(pattern);
    if (chdir(scratch_.c_str()) != 0) FAIL() << "cannot enter " << scratch_;
    LanguageFlag = 1;
    ParseCommandLine("");
    ScreenClear();
    LogFilePath[0] = 0;
    RecordForget();
    PlatMakeDirectory("TEMP");  // as window creation leaves it
}

void CoreTest::TearDown() {
    LinkThreadStop();
    ClosePipes();
    LogClose();  // the next test logs into its own folder
    if (chdir(previousDir_.c_str()) != 0) return;
    std::string command = "rm -rf '" + scratch_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << scratch_;
}

int CoreTest::RunCommand(int id) {
    try {
        ShellCommand(id);
    } catch (const testbed::ProcessExit& e) {
        return e.code;
    }
    return -1;
}

std::string CoreTest::LogText() {
    std::ifstream f(scratch_ + "/TEMP/log.txt", std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

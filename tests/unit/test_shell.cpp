// Start-up, the command line, the image check, the command frame and the clean-up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "images/images.h"
#include "platform/platform.h"
#include "base/messages.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "base/waits.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"

namespace {
bool Exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}
std::vector<uint8_t> List() { return std::vector<uint8_t>(LanguageList, LanguageList + LanguageCount); }

using Items = std::vector<std::pair<int, std::string>>;  // (id, text), (0, "") a separator
Items MenuItems(const MenuItem* m) {
    Items items;
    for (; m->text; m++) items.emplace_back(m->id, m->text);
    return items;
}
std::string Source(const char* path) {
    std::ifstream in(std::string(KQ_SOURCE_DIR) + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
// A MENU of the resource script, with the ids that resource.h defines.
Items ResourceMenu(const std::string& name) {
    std::map<std::string, int> ids;
    std::string header = Source("/src/resources/resource.h"), script = Source("/src/resources/Kqsfupdt.rc");
    std::regex define("#define (\\w+) +(\\d+)");
    for (std::sregex_iterator d(header.begin(), header.end(), define), end; d != end; ++d)
        ids[(*d)[1]] = std::stoi((*d)[2]);
    size_t from = script.find("\n" + name + " MENU\n");
    std::string menu = script.substr(from, script.find("\nEND\n", from) - from);
    Items items;
    std::regex item("MENUITEM (?:\"([^\"]*)\", *(\\w+)|SEPARATOR)");
    for (std::sregex_iterator m(menu.begin(), menu.end(), item), end; m != end; ++m)
        items.emplace_back((*m)[2].matched ? ids.at((*m)[2]) : 0, (*m)[1]);
    return items;
}
}  // namespace

class ShellTest : public CoreTest {};

TEST_F(ShellTest, CommandLineSetsServiceModeAndLanguages) {
    struct Case {
        const char* line;
        int service;
        std::vector<uint8_t> list;
    } cases[] = {
        {"", 0, {1, 0, 2, 3}},
        {"st", 1, {1, 0, 2, 3}},
        {"St", 1, {1, 0, 2, 3}},
        {"ST CE", 1, {0, 1}},
        {"st EC", 1, {1, 0}},
        {"ST cde", 1, {1, 0, 2, 3}},       // lower-case letters are not languages
        {"ST DDDDE", 1, {3, 3, 3, 3}},     // the fifth letter is not read
        {"STCE", 1, {1, 0, 2, 3}},         // no blank: service mode, default list
        {"ST CXE", 1, {0}},                // the first other character ends the scan
        {"STATUS", 1, {1, 0, 2, 3}},
        {"S", 0, {1, 0, 2, 3}},
        {"XST", 0, {1, 0, 2, 3}},
    };
    for (const Case& c : cases) {
        ParseCommandLine(c.line);
        EXPECT_EQ(ServiceFlag, c.service) << c.line;
        EXPECT_EQ(List(), c.list) << c.line;
    }
}

TEST_F(ShellTest, TitlesAndMenusOfBothModes) {
    char title[128];
    ParseCommandLine("");
    FormatWindowTitle(title, sizeof title);
    EXPECT_STREQ(title, " CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3");
    EXPECT_EQ(ShellMenu(), MenuUser);
    ParseCommandLine("st");
    FormatWindowTitle(title, sizeof title);
    EXPECT_STREQ(title, " ---ST--- CORVINA Updater    Soft 1.70  Vimclm 03.68  Remote 1.3");
    EXPECT_EQ(ShellMenu(), MenuService);

    // The terminal's menus are the Windows menus of the resource script, item for item.
    EXPECT_EQ(MenuItems(MenuUser), ResourceMenu("Menu"));
    EXPECT_EQ(MenuItems(MenuService), ResourceMenu("MenuST"));
}

TEST_F(ShellTest, ImageChecksumIsTheSixteenBitSumHighByteFirst) {
    EXPECT_TRUE(ConsoleImageChecksumOk(ImageConsole, CONSOLE_IMAGE_SIZE, ImageConsole + CONSOLE_IMAGE_SIZE));
    std::vector<uint8_t> copy(ImageConsole, ImageConsole + CONSOLE_IMAGE_SIZE + 2);
    for (uint32_t at : {0u, 1234u, CONSOLE_IMAGE_SIZE - 1}) {
        std::vector<uint8_t> bad = copy;
        bad[at] ^= 0x01;
        EXPECT_FALSE(ConsoleImageChecksumOk(bad.data(), CONSOLE_IMAGE_SIZE, bad.data() + CONSOLE_IMAGE_SIZE));
    }
    const uint8_t tiny[3] = {0xFF, 0xFF, 0x03};
    const uint8_t sum[2] = {0x02, 0x01};  // 0x201 = 0xFF + 0xFF + 0x03
    EXPECT_TRUE(ConsoleImageChecksumOk(tiny, 3, sum));
    const uint8_t swapped[2] = {0x01, 0x02};
    EXPECT_FALSE(ConsoleImageChecksumOk(tiny, 3, swapped));
}

TEST_F(ShellTest, CreationPicksLanguageWritesFontAndShowsHelp) {
    testbed::SetUserPrimaryLanguage(0x080A & 0x3FF);  // Spanish (Mexico)
    testbed::SetFontRegistrations(2);                 // left over by earlier runs
    ShellCreate();
    EXPECT_EQ(LanguageFlag, 0);
    EXPECT_EQ(testbed::FontCalls(),
              (std::vector<std::string>{"remove", "remove", "remove", "add", "create"}));
    struct stat st;
    ASSERT_EQ(stat("TEMP/kqmon.fnt", &st), 0);
    EXPECT_EQ(st.st_size, (off_t)FONT_IMAGE_SIZE);
    EXPECT_EQ(testbed::ScreenRow(0), "Proceso:");

    testbed::Reset();
    testbed::SetUserPrimaryLanguage(0x07);  // German users get English
    ShellCreate();
    EXPECT_EQ(LanguageFlag, 1);
    EXPECT_TRUE(testbed::MessageBoxes().empty());
}

TEST_F(ShellTest, ExitCleansUpWithoutThePrompt) {
    ShellCreate();
    LogAppend("-----User Update-----\n");
    ASSERT_TRUE(Exists("TEMP/log.txt"));
    RunCommand(CMD_EXIT);
    EXPECT_TRUE(testbed::WindowCloseRequested());
    EXPECT_EQ(testbed::ScreenRow(0), "Process:");  // no [ENTER] prompt was printed
    ShellDestroy();
    EXPECT_FALSE(Exists("TEMP/kqmon.fnt"));
    EXPECT_FALSE(Exists("TEMP/log.txt"));
    EXPECT_FALSE(Exists("TEMP"));
    EXPECT_EQ(testbed::FontCalls().back(), "remove");
}

TEST_F(ShellTest, TempWithOtherFilesStays) {
    ShellCreate();
    ASSERT_GE(PlatWriteWholeFile("TEMP/keep.me", "x", 1), 0);
    ShellDestroy();
    EXPECT_TRUE(Exists("TEMP/keep.me"));
    EXPECT_FALSE(Exists("TEMP/kqmon.fnt"));
}

TEST_F(ShellTest, UnknownCommandDoesNothing) {
    ShellCreate();
    int repaints = testbed::RepaintCount();
    EXPECT_EQ(RunCommand(112), -1);
    EXPECT_EQ(RunCommand(100), -1);
    EXPECT_EQ(testbed::RepaintCount(), repaints);
}

TEST_F(ShellTest, LogEntriesAppendInOrder) {
    ShellCreate();
    LogAppend("-----%s-----\n", "Remote Test");
    LogAppend("Time:%08x\n", 0x12u);
    EXPECT_EQ(LogText(), "-----Remote Test-----\nTime:00000012\n");
}

TEST_F(ShellTest, CorruptImageOrMissingCounterIsFatal) {
    // The embedded image is intact, so the fatal path is exercised with the clock.
    testbed::SetNoCounter(true);
    try {
        MicroClock();
        FAIL() << "the clock went on without a counter";
    } catch (const testbed::ProcessExit& e) {
        EXPECT_EQ(e.code, 1);
    }
    ASSERT_EQ(testbed::MessageBoxes().size(), 1u);
    EXPECT_EQ(testbed::MessageBoxes()[0].text, "No high-resolution counter");
    EXPECT_EQ(testbed::MessageBoxes()[0].caption, "Error");
}

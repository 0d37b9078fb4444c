// The text screen writer: layout rules, directives and the help text's shape.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/messages.h"
#include "base/screen.h"
#include "shell/shell.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"

class ScreenTest : public CoreTest {
protected:
    std::string Cells(int from, int count) { return std::string((char*)ScreenCells + from, count); }
    // Prints on a cleared screen and returns the first row.
    template <typename... Values>
    std::string Printed(const char* format, Values... values) {
        ScreenClear();
        ScreenPrint(format, values...);
        return testbed::ScreenRow(0);
    }
};

TEST_F(ScreenTest, NewLineOnLastRowScrollsOnce) {
    for (int r = 0; r < SCREEN_ROWS; r++) ScreenCells[r * SCREEN_COLUMNS] = (uint8_t)('a' + r % 26);
    ScreenCursor = 2870;
    ScreenPrint("xyz\n");
    EXPECT_EQ(ScreenCursor, 2800);
    EXPECT_EQ(ScreenCells[0], 'b');  // row 1 moved to row 0
    EXPECT_EQ(Cells(2790, 3), "xyz");  // the printed text moved up with its row
    EXPECT_EQ(testbed::ScreenRow(35), "");
}

TEST_F(ScreenTest, ThirtySixLinesScrollTheFirstOut) {
    for (int i = 0; i < 36; i++) ScreenPrint("%c\n", (uint32_t)('A' + i % 26));
    for (int r = 0; r < 35; r++) EXPECT_EQ(testbed::ScreenRow(r), std::string(1, (char)('A' + (r + 1) % 26)));
    EXPECT_EQ(testbed::ScreenRow(35), "");
    EXPECT_EQ(ScreenCursor, 2800);
}

TEST_F(ScreenTest, CarriageReturnOverwritesFromRowStart) {
    ScreenCursor = 160;
    ScreenPrint("12345\rab");
    EXPECT_EQ(testbed::ScreenRow(2), "ab345");
    EXPECT_EQ(ScreenCursor, 162);
}

TEST_F(ScreenTest, LongLinesContinueAndTextPastTheEndScrolls) {
    ScreenPrint("%s", std::string(83, 'x').c_str());
    EXPECT_EQ(testbed::ScreenRow(1), "xxx");
    EXPECT_EQ(ScreenCursor, 83);
    // Text that runs past cell 2879 without a new line scrolls instead of overrunning.
    ScreenCursor = 2878;
    ScreenPrint("abcd");
    EXPECT_EQ(testbed::ScreenRow(34).substr(78), "ab");
    EXPECT_EQ(testbed::ScreenRow(35), "cd");
    EXPECT_EQ(ScreenCursor, 2802);
}

TEST_F(ScreenTest, NumericDirectives) {
    EXPECT_EQ(Printed("%08x", 0x1234u), "00001234");
    EXPECT_EQ(Printed("%x", 0u), "0");
    EXPECT_EQ(Printed("%X", 255u), "FF");
    EXPECT_EQ(Printed("%x", 0xABCDEFu), "abcdef");
    EXPECT_EQ(Printed("%02u", 7u), "07");
    EXPECT_EQ(Printed("%u", 0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(Printed("%d", -2147483647 - 1), "-2147483648");
    EXPECT_EQ(Printed("[%5d]", -3), "[   -3]");
    EXPECT_EQ(Printed("[%-5d]", -3), "[-3   ]");
    EXPECT_EQ(Printed("[%+4d]", 12), "[ +12]");
    EXPECT_EQ(Printed("[%+4d]", -12), "[ -12]");
    EXPECT_EQ(Printed("[%-4u]", 7u), "[7   ]");
    EXPECT_EQ(Printed("[%1u]", 1234u), "[1234]");
}

TEST_F(ScreenTest, StringCharAndOddDirectives) {
    EXPECT_EQ(Printed("[%5s]", "ab"), "[   ab]");
    EXPECT_EQ(Printed("[%-5s]", "ab"), "[ab   ]");
    EXPECT_EQ(Printed("%c%c", (uint32_t)'o', (uint32_t)0x1241), "oA");
    EXPECT_EQ(Printed("100%%"), "100%");
    EXPECT_EQ(Printed("%q%u", 5u), "%q5");     // no conversion: both characters stay
    EXPECT_EQ(Printed("%5c", (uint32_t)'z'), "%5c");  // no width before c
    EXPECT_EQ(Printed("end%"), "end%");
    // Control codes other than \n and \r are stored like any character.
    ScreenClear();
    ScreenPrint("\x01\x1A");
    EXPECT_EQ(Cells(0, 2), "\x01\x1A");
}

TEST_F(ScreenTest, EveryPrintRepaintsAndClearDoesNot) {
    int before = testbed::RepaintCount();
    ScreenPrint("a");
    ScreenPrint("");
    EXPECT_EQ(testbed::RepaintCount(), before + 2);
    ScreenClear();
    EXPECT_EQ(testbed::RepaintCount(), before + 2);
    EXPECT_EQ(ScreenCursor, 0);
    EXPECT_EQ(Cells(0, SCREEN_CELLS), std::string(SCREEN_CELLS, ' '));
}

TEST_F(ScreenTest, PickMessageFollowsTheLanguageFlag) {
    LanguageFlag = 0;
    EXPECT_STREQ(PickMessage(MSG_FILE_CORRUPT), "Fichero corrupto");
    LanguageFlag = 1;
    EXPECT_STREQ(PickMessage(MSG_FILE_CORRUPT), "File corrupt");
}

TEST_F(ScreenTest, HelpTextLeavesTheCursorWhereTheConsoleExpectsIt) {
    LanguageFlag = 1;
    ShowHelpText();
    EXPECT_EQ(ScreenCursor, 25 * SCREEN_COLUMNS);
    EXPECT_EQ(testbed::ScreenRow(0), "Process:");
    EXPECT_EQ(testbed::ScreenRow(1), "1. Connect USB cable from PC to CORVINA & switch on");
    EXPECT_EQ(testbed::ScreenRow(3), "f)");  // line 3 has 83 characters and ran on
    LanguageFlag = 0;
    ShowHelpText();
    EXPECT_EQ(ScreenCursor, 23 * SCREEN_COLUMNS);
    EXPECT_EQ(testbed::ScreenRow(6), "3. Si la versi\xA2n de Vinculum no es 03.68 es necesario actualizarlo :");
}

TEST_F(ScreenTest, EveryMessagePairHasTwoTextsWithTheSameDirectives) {
    auto directives = [](const char* s) {
        std::string d;
        for (const char* p = s; *p; p++)
            if (*p == '%') d += p[1];
        return d;
    };
#define KQ_CHECK_PAIR(name, es, en)                                   \
    {                                                                 \
        const char* spanish = name;                                   \
        const char* english = spanish + strlen(spanish) + 1;          \
        EXPECT_STREQ(english, en) << #name;                           \
        EXPECT_EQ(directives(spanish), directives(english)) << #name; \
    }
    KQ_MESSAGE_PAIRS(KQ_CHECK_PAIR)
#undef KQ_CHECK_PAIR
}

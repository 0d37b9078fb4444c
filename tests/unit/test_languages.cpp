// The language dialog's figures and the language area written into the flash buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "images/images.h"
#include "link/link.h"
#include "shell/shell.h"
#include "tests/backend/fixture.h"
#include "tests/backend/testbed.h"
#include "update/languages.h"

class LanguagesTest : public CoreTest {
protected:
    // Runs the flash buffer's preparation with these dialog buttons.
    void Prepare(const char* commandLine, const std::vector<int>& buttons) {
        ParseCommandLine(commandLine);
        testbed::SetLanguageDialogButtons(buttons);
        PrepareFlashBuffer();
        ASSERT_FALSE(testbed::LanguageDialogStuck());
    }
    static uint32_t NonBlankChunks() {
        uint32_t n = 0;
        for (uint32_t at = 0; at < FLASH_SIZE; at += 1024) n += IsBlank(FlashBuffer + at, 1024) ? 0 : 1;
        return n;
    }
    static uint32_t FirstFreeByte() {
        uint32_t end = FLASH_SIZE;
        while (end > 0 && FlashBuffer[end - 1] == 0xFF) end--;
        return end;
    }
};

TEST_F(LanguagesTest, DefaultListFillsAllButOnePercent) {
    Prepare("", {});
    const auto& views = testbed::LanguageDialogViews();
    ASSERT_FALSE(views.empty());
    EXPECT_EQ(views[0].freeText, "1% Flash Memory Free");
    EXPECT_EQ(views[0].listText, "0: ENGLISH\n1: CASTELLANO\n2: FRANCAIS\n3: GERMAN\n");
    EXPECT_EQ(memcmp(FlashBuffer, ImageConsole, CONSOLE_IMAGE_SIZE), 0);
    EXPECT_EQ(FirstFreeByte(), LANGUAGE_AREA_OFFSET + MESSAGE_TABLE_SIZE);
    EXPECT_EQ(NonBlankChunks(), 504u);
}

TEST_F(LanguagesTest, ClearThenEnglishAlone) {
    Prepare("", {IDC_LANGUAGE_CLEAR, IDC_LANGUAGE_OK, IDC_LANGUAGE_FIRST + 1});
    const auto& views = testbed::LanguageDialogViews();
    ASSERT_EQ(views.size(), 5u);  // open, clear, refused OK, English, the final OK
    EXPECT_EQ(views[1].freeText, "9% Flash Memory Free");
    EXPECT_EQ(views[1].listText, "");
    EXPECT_EQ(views[3].freeText, "7% Flash Memory Free");
    EXPECT_EQ(views[3].listText, "0: ENGLISH\n");
    EXPECT_EQ(LanguageCount, 1);
    // The area is 9,644 bytes; erased flash follows from 0x76732.
    EXPECT_EQ(FirstFreeByte(), 0x76732u);
    EXPECT_EQ(FlashBuffer[0x76731], 0);  // the last string's terminator
    EXPECT_EQ(NonBlankChunks(), 474u);
    EXPECT_EQ(FlashBuffer[LANGUAGE_AREA_OFFSET + 2], 0x01);  // first offset 338, high byte first
    EXPECT_EQ(FlashBuffer[LANGUAGE_AREA_OFFSET + 3], 0x52);
}

TEST_F(LanguagesTest, PressingAListedLanguageChangesNothing) {
    Prepare("ST CE", {IDC_LANGUAGE_FIRST, IDC_LANGUAGE_FIRST + 1});
    const auto& views = testbed::LanguageDialogViews();
    EXPECT_EQ(views[0].listText, "0: CASTELLANO\n1: ENGLISH\n");
    EXPECT_EQ(views[1].listText, views[0].listText);
    EXPECT_EQ(LanguageCount, 2);
}

TEST_F(LanguagesTest, ListOrderDecidesStringOrder) {
    Prepare("ST EC", {});
    EXPECT_EQ(testbed::LanguageDialogViews()[0].listText, "0: ENGLISH\n1: CASTELLANO\n");
    const uint8_t* area = FlashBuffer + LANGUAGE_AREA_OFFSET;
    EXPECT_EQ(area[0], 2);
    for (uint32_t i : {0u, 1u, 91u, 167u}) {
        uint32_t offset = (uint32_t)area[2 + 2 * i] << 8 | area[3 + 2 * i];
        const char* first = (const char*)area + offset;
        EXPECT_STREQ(first, MessageText(i, 1)) << i;
        EXPECT_STREQ(first + strlen(first) + 1, MessageText(i, 0)) << i;
    }
}

TEST_F(LanguagesTest, CastellanoEnglishFrancaisGermanAreaIsTheTableWithSwappedOffsets) {
    Prepare("ST CEFD", {});
    std::vector<uint8_t> expected(ImageMessageTable, ImageMessageTable + MESSAGE_TABLE_SIZE);
    for (uint32_t i = 0; i < MESSAGE_COUNT; i++) std::swap(expected[2 + 2 * i], expected[3 + 2 * i]);
    EXPECT_EQ(memcmp(FlashBuffer + LANGUAGE_AREA_OFFSET, expected.data(), MESSAGE_TABLE_SIZE), 0);
}

TEST_F(LanguagesTest, ListThatDoesNotFitIsCutAndRefused) {
    ParseCommandLine("");
    // An area that starts late leaves room for one language only.
    LanguageDialogFreeText[0] = 0;
    uint32_t start = FLASH_SIZE - 15000;
    testbed::SetLanguageDialogButtons({IDC_LANGUAGE_FIRST + 3});
    uint32_t end = SelectLanguages(start, FLASH_SIZE);
    EXPECT_LE(end, FLASH_SIZE);
    EXPECT_EQ(LanguageCount, 1);  // the opening cut the list to English (9,644 bytes)
    ASSERT_EQ(testbed::MessageBoxes().size(), 1u);
    EXPECT_EQ(testbed::MessageBoxes()[0].text, "Full Flash Memory");
    EXPECT_EQ(testbed::MessageBoxes()[0].caption, "");
}

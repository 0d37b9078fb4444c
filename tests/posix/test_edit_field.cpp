// The terminal's edit field answers keys as a single-line Windows edit control: the
// MAC dialog's field opens with the proposal selected, and what the technician types
// must land as it would in the window.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "platform/posix/terminal/edit_field.h"

namespace {

// How the field starts: as the dialog opens (the proposal set, then the focus
// selecting it all), or just after a text was set (the OK, a confirmed address).
enum Start { OPENED, TEXT_SET };

struct Case {
    const char* what;
    Start start;
    const char* text;  // the text set first
    const char* keys;  // blank-separated: one character typed, or a key name
    const char* expected;
    int anchor, caret;
};

int KeyCode(const std::string& name) {
    if (name == "BS") return EDIT_KEY_BACK;
    if (name == "DEL") return EDIT_KEY_DELETE;
    if (name == "LEFT") return EDIT_KEY_LEFT;
    if (name == "RIGHT") return EDIT_KEY_RIGHT;
    if (name == "HOME") return EDIT_KEY_HOME;
    if (name == "END") return EDIT_KEY_END;
    return 0;
}

// Types the keys: "S-" in front of a key name holds Shift with it.
void Press(EditField* field, const char* keys) {
    std::istringstream words(keys);
    std::string key;
    while (words >> key) {
        if (key.size() == 1) {
            EditFieldType(field, key[0]);
            continue;
        }
        bool shift = key.compare(0, 2, "S-") == 0;
        int vk = KeyCode(shift ? key.substr(2) : key);
        ASSERT_NE(vk, 0) << key;
        EditFieldKey(field, vk, shift);
    }
}

const Case CASES[] = {
    // The proposal, selected as the dialog opens.
    {"the first digit replaces the proposal", OPENED, "000000", "1", "1", 1, 1},
    {"the next digits follow it", OPENED, "000000", "1 2 A B", "12AB", 4, 4},
    {"six digits fill the field", OPENED, "000000", "1 2 A B 5 F", "12AB5F", 6, 6},
    {"a seventh is refused", OPENED, "000000", "1 2 A B 5 F 7", "12AB5F", 6, 6},
    {"Backspace clears the selection", OPENED, "000A00", "BS", "", 0, 0},
    {"Delete clears the selection", OPENED, "000A00", "DEL", "", 0, 0},
    {"and digits then go into the empty field", OPENED, "000A00", "BS 4 2", "42", 2, 2},
    {"Left keeps the text and goes one step back from the end", OPENED, "000A00", "LEFT",
     "000A00", 5, 5},
    {"Right leaves the caret at the end", OPENED, "000A00", "RIGHT", "000A00", 6, 6},
    {"Home leaves the caret at the start", OPENED, "000A00", "HOME", "000A00", 0, 0},
    {"once deselected a full field takes no digit", OPENED, "000A00", "END 7", "000A00", 6, 6},
    {"End and Backspace take the last digit", OPENED, "000A00", "END BS", "000A0", 5, 5},
    {"Home and Delete take the first digit", OPENED, "000A00", "HOME DEL F", "F00A00", 1, 1},
    {"a shorter proposal is replaced too", OPENED, "12", "3", "3", 1, 1},

    // A text set while the field has the focus: the caret at the start, nothing selected.
    {"after a set text a full field refuses a digit", TEXT_SET, "000A01", "9", "000A01", 0, 0},
    {"Shift+End selects it all again", TEXT_SET, "000A01", "S-END 9", "9", 1, 1},
    {"Shift+Right selects two digits, typing replaces them", TEXT_SET, "000A01",
     "S-RIGHT S-RIGHT F F", "FF0A01", 2, 2},
    {"a selection made backwards", TEXT_SET, "000A01", "END S-LEFT S-LEFT", "000A01", 6, 4},
    {"is cut by Backspace all the same", TEXT_SET, "000A01", "END S-LEFT S-LEFT BS", "000A", 4, 4},
    {"Shift+Home from the end selects it all", TEXT_SET, "000A01", "END S-HOME 5", "5", 1, 1},
    {"Left without Shift drops a selection", TEXT_SET, "000A01", "S-END LEFT", "000A01", 5, 5},
    {"Backspace at the start does nothing", TEXT_SET, "000A01", "BS", "000A01", 0, 0},
    {"Delete at the end does nothing", TEXT_SET, "000A01", "END DEL", "000A01", 6, 6},
    {"a digit goes in at the caret", TEXT_SET, "12", "RIGHT 3", "132", 2, 2},
    {"arrows stop at the ends", TEXT_SET, "12", "LEFT RIGHT RIGHT RIGHT", "12", 2, 2},
};

TEST(EditField, AnswersKeysAsAWindowsEditControl) {
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        EditField field;
        EditFieldInit(&field, 6);
        EditFieldSetText(&field, c.text);
        if (c.start == OPENED) EditFieldSelectAll(&field);
        Press(&field, c.keys);
        EXPECT_STREQ(field.text, c.expected);
        EXPECT_EQ(field.anchor, c.anchor);
        EXPECT_EQ(field.caret, c.caret);
    }
}

TEST(EditField, ReportsWhetherAKeyChangedAnything) {
    EditField field;
    EditFieldInit(&field, 6);
    EditFieldSetText(&field, "000000");
    EXPECT_FALSE(EditFieldType(&field, '1'));  // full, nothing selected
    EXPECT_FALSE(EditFieldKey(&field, EDIT_KEY_HOME, false));  // already there
    EXPECT_FALSE(EditFieldKey(&field, 'A', false));            // no editing key
    EXPECT_TRUE(EditFieldKey(&field, EDIT_KEY_END, false));
    EXPECT_TRUE(EditFieldKey(&field, EDIT_KEY_BACK, false));
    EXPECT_TRUE(EditFieldType(&field, '1'));
    EXPECT_STREQ(field.text, "000001");
}

TEST(EditField, ASetTextIsNotCutToTheKeysLimit) {
    EditField field;
    EditFieldInit(&field, 6);
    EditFieldSetText(&field, "1234567");
    EXPECT_STREQ(field.text, "1234567");
    EditFieldSelectAll(&field);
    EXPECT_TRUE(EditFieldType(&field, 'A'));
    EXPECT_STREQ(field.text, "A");
    EditFieldSetText(&field, std::string(40, '9').c_str());  // kept up to the capacity
    EXPECT_EQ(std::string(field.text), std::string(EDIT_FIELD_CAPACITY, '9'));
}

}  // namespace

// edit_field.h - a one-line edit field that answers keys as a single-line Windows edit
// control does, for the terminal's dialogs. No terminal in here: the dialog draws the
// field and hands it the keys.
//
// The field keeps its text, a limit on the length the keys may give it, and a
// selection from an anchor to the caret (nothing selected when they are equal). A
// character typed replaces the selection; Backspace and Delete take the selection, or
// one character beside the caret; the arrows, Home and End move the caret and drop the
// selection, or with Shift move the caret and keep the anchor.
#pragma once

const int EDIT_FIELD_CAPACITY = 15;

struct EditField {
    char text[EDIT_FIELD_CAPACITY + 1];
    int limit;   // most characters the keys may give it (EM_LIMITTEXT)
    int anchor;  // where the selection started
    int caret;   // where the next character goes; the selection's other end
};

// Keys the field takes, by their virtual-key codes.
const int EDIT_KEY_BACK = 8;
const int EDIT_KEY_END = 35;
const int EDIT_KEY_HOME = 36;
const int EDIT_KEY_LEFT = 37;
const int EDIT_KEY_RIGHT = 39;
const int EDIT_KEY_DELETE = 46;

// An empty field that takes at most limit characters from the keys.
void EditFieldInit(EditField* field, int limit);
// The text set from outside (WM_SETTEXT): it may be longer than the keys' limit;
// afterwards the caret stands at the start and nothing is selected.
void EditFieldSetText(EditField* field, const char* text);
// The field takes the focus, as the dialog manager gives it: all of it selected, the
// caret at the end.
void EditFieldSelectAll(EditField* field);
// A character typed: it replaces the selection, or goes in at the caret. Refused
// (false, nothing changed) when the text would grow beyond the limit.
bool EditFieldType(EditField* field, char c);
// An editing or moving key; false when the key is none of those above or changed
// nothing.
bool EditFieldKey(EditField* field, int vk, bool shift);
// The selected characters, from *start up to (not including) *end; equal when none.
void EditFieldSelection(const EditField& field, int* start, int* end);

// edit_field.cpp - the one-line edit field of the terminal's dialogs.
#include "platform/posix/terminal/edit_field.h"

#include <cstring>

static int Length(const EditField* field) { return (int)strlen(field->text); }

static void Place(EditField* field, int anchor, int caret) {
    field->anchor = anchor;
    field->caret = caret;
}

void EditFieldSelection(const EditField& field, int* start, int* end) {
    *start = field.anchor < field.caret ? field.anchor : field.caret;
    *end = field.anchor < field.caret ? field.caret : field.anchor;
}

// Cuts the selection out; the caret stands where it was.
static void DeleteSelection(EditField* field) {
    int start, end;
    EditFieldSelection(*field, &start, &end);
    memmove(field->text + start, field->text + end, (size_t)(Length(field) - end + 1));
    Place(field, start, start);
}

void EditFieldInit(EditField* field, int limit) {
    field->text[0] = 0;
    field->limit = limit < EDIT_FIELD_CAPACITY ? limit : EDIT_FIELD_CAPACITY;
    Place(field, 0, 0);
}

void EditFieldSetText(EditField* field, const char* text) {
    size_t n = text ? strlen(text) : 0;
    if (n > (size_t)EDIT_FIELD_CAPACITY) n = EDIT_FIELD_CAPACITY;
    if (n > 0) memcpy(field->text, text, n);
    field->text[n] = 0;
    Place(field, 0, 0);
}

void EditFieldSelectAll(EditField* field) { Place(field, 0, Length(field)); }

bool EditFieldType(EditField* field, char c) {
    int start, end;
    EditFieldSelection(*field, &start, &end);
    // The selection goes and the character comes: a full field still takes a
    // character over a selection, never one more beside it.
    if (Length(field) - (end - start) + 1 > field->limit) return false;
    DeleteSelection(field);
    int at = field->caret;
    memmove(field->text + at + 1, field->text + at, (size_t)(Length(field) - at + 1));
    field->text[at] = c;
    Place(field, at + 1, at + 1);
    return true;
}

// Backspace or Delete: the selection if there is one, else the character before
// (Backspace) or after (Delete) the caret.
static bool Erase(EditField* field, bool before) {
    if (field->anchor == field->caret) {
        int at = field->caret;
        if (before ? at == 0 : at == Length(field)) return false;
        Place(field, before ? at - 1 : at, before ? at : at + 1);
    }
    DeleteSelection(field);
    return true;
}

// The caret to its new place; without Shift the selection goes, with it the anchor stays.
static bool Move(EditField* field, int caret, bool shift) {
    int anchor = shift ? field->anchor : caret;
    if (anchor == field->anchor && caret == field->caret) return false;
    Place(field, anchor, caret);
    return true;
}

bool EditFieldKey(EditField* field, int vk, bool shift) {
    int caret = field->caret, length = Length(field);
    switch (vk) {
    case EDIT_KEY_BACK: return Erase(field, true);
    case EDIT_KEY_DELETE: return Erase(field, false);
    // One step from the caret, not from the selection's near end: an arrow over a
    // whole selection leaves the caret beside the end it stood at.
    case EDIT_KEY_LEFT: return Move(field, caret > 0 ? caret - 1 : 0, shift);
    case EDIT_KEY_RIGHT: return Move(field, caret < length ? caret + 1 : length, shift);
    case EDIT_KEY_HOME: return Move(field, 0, shift);
    case EDIT_KEY_END: return Move(field, length, shift);
    default: return false;
    }
}

// dialogs.cpp - the modal dialogs of the resources, driven by the core's logic.
#include <atomic>

#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "core.h"

// ---- IdiomaDialog -------------------------------------------------------------------------
static void ShowLanguageTexts(HWND dialog) {
    SetDlgItemTextA(dialog, IDC_LANG_FREE, LanguageDialogFreeText);
    SetDlgItemTextA(dialog, IDC_LANG_LIST, LanguageDialogListText);
}

static bool IsLanguageDialogButton(int id) {
    return id == IDOK || (id >= IDC_LANG_CLEAR && id <= IDC_LANG_DEUTSCH);
}

static INT_PTR CALLBACK LanguageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        LanguageDialogOpen();
        ShowLanguageTexts(dialog);
        return TRUE;
    case WM_COMMAND: {
        // [ESC] arrives as IDCANCEL and is not a button: the dialog has no way out but
        // "OK" with at least one language.
        int id = LOWORD(wParam);
        if (!IsLanguageDialogButton(id)) return FALSE;
        bool close = LanguageDialogButton(id);
        ShowLanguageTexts(dialog);
        if (close) EndDialog(dialog, 1);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void PlatLanguageDialog() {
    DialogBoxParamA(Win32Instance, "IdiomaDialog", Win32OwnerWindow, LanguageDialogProc, 0);
}

// ---- MacDialog ---------------------------------------------------------------------------------
// The receive thread never touches the dialog itself: it posts WM_MAC_CHANGED and goes
// on reading, and the dialog shows the core's texts on its own thread. Posting never
// waits, so stopping the receive thread can never wait for the dialog, and a message
// aimed at a dialog that has just closed is simply lost.
static const UINT WM_MAC_CHANGED = WM_APP + 1;
static const UINT_PTR MAC_TIMER = 1;
static const UINT MAC_TIMER_MS = 200;

// The open dialog, NULL when there is none. [any thread]
static std::atomic<HWND> MacDialogWindow{NULL};

static void ShowMacTexts(HWND dialog) {
    MacDialogView view;
    unsigned changed = MacDialogTakeChanges(&view);
    if (changed & MAC_CHANGED_CURRENT_HIGH) SetDlgItemTextA(dialog, IDC_MAC_CURRENT_HIGH, view.currentHigh);
    if (changed & MAC_CHANGED_CURRENT_LOW) SetDlgItemTextA(dialog, IDC_MAC_CURRENT_LOW, view.currentLow);
    if (changed & MAC_CHANGED_NEW_HIGH) SetDlgItemTextA(dialog, IDC_MAC_NEW_HIGH, view.newHigh);
    if (changed & MAC_CHANGED_NEW_LOW) SetDlgItemTextA(dialog, IDC_MAC_NEW_LOW, view.newLow);
}

static INT_PTR CALLBACK MacDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        // Six digits and no more: a seventh character would be cut off unseen when
        // the field is read, and the console would get another address than shown.
        SendDlgItemMessageA(dialog, IDC_MAC_NEW_LOW, EM_LIMITTEXT, MAC_FIELD_CHARS, 0);
        MacDialogInit();
        ShowMacTexts(dialog);
        MacDialogWindow = dialog;
        SetTimer(dialog, MAC_TIMER, MAC_TIMER_MS, NULL);
        return TRUE;
    case WM_TIMER:
        if (wParam != MAC_TIMER) return FALSE;
        MacDialogTimer();
        return TRUE;
    case WM_MAC_CHANGED:
        ShowMacTexts(dialog);
        return TRUE;
    case WM_COMMAND: {
        // IDCANCEL is "Exit", [ESC] and the close box alike; notifications of the edit
        // control are left to the dialog manager.
        int id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL) return FALSE;
        char text[MAC_FIELD_CHARS + 1] = "";
        GetDlgItemTextA(dialog, IDC_MAC_NEW_LOW, text, sizeof text);
        bool close = MacDialogCommand(id, text);
        ShowMacTexts(dialog);
        if (close) {
            MacDialogWindow = NULL;
            KillTimer(dialog, MAC_TIMER);
            EndDialog(dialog, 1);
        }
        return TRUE;
    }
    case WM_DESTROY:
        MacDialogWindow = NULL;
        KillTimer(dialog, MAC_TIMER);
        return FALSE;
    default:
        return FALSE;
    }
}

void PlatMacDialog() {
    DialogBoxParamA(Win32Instance, "MacDialog", Win32OwnerWindow, MacDialogProc, 0);
}

void PlatMacDialogChanged() {
    HWND dialog = MacDialogWindow;
    if (dialog != NULL) PostMessageA(dialog, WM_MAC_CHANGED, 0, 0);
}

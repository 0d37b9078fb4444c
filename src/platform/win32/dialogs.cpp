// dialogs.cpp - the modal dialogs of the resources, driven by the core's logic.
#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "resources/resource.h"
#include "update/languages.h"

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

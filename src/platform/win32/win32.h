// win32.h - state shared by the files of the Windows backend.
#pragma once

#include <windows.h>

extern HINSTANCE Win32Instance;  // module of the program: menus, icon, dialogs
// The main window from WM_CREATE on: sizing, repaint and close use it.
extern HWND Win32MainWindow;
// The owner of message boxes: NULL while the window is still being created, so a
// fatal error during creation shows an unowned box.
extern HWND Win32OwnerWindow;
extern HFONT Win32ScreenFont;    // "kqmon3" 8 x 11, selected for every paint

// The stop event of the calling thread when PlatThreadStart started it, else NULL.
HANDLE Win32CurrentStopEvent();

// ---- The service record's folder (record_files.cpp), for its own checks -----------------
#include "platform/platform.h"
// The security descriptor a folder of the record is made with, as SDDL.
extern const char WIN32_RECORD_FOLDER_SDDL[];
// True for an owner that only the program could have given a folder or file: Administrators
// or SYSTEM (and, under Wine, which has one account only, the process's own user).
bool Win32OwnerTrusted(PSID owner);
// True when the descriptor's access list is protected from inheritance and lets nobody
// but SYSTEM and Administrators change what it guards.
bool Win32DaclProtected(PSECURITY_DESCRIPTOR sd);
// What a folder of these attributes and this owner is to the record (its rights aside).
PlatFolderState Win32JudgeFolder(DWORD attributes, bool ownerTrusted);

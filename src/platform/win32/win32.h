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

/* resource.h - identifiers of the menus, dialogs and controls of Kqsfupdt. The menu
   commands match the CMD_ identifiers of the shell. */
#pragma once

/* File menu commands */
#define IDM_UPDATE_CONSOLE   101
#define IDM_VINCULUM_STICK   102
#define IDM_VINCULUM_CABLE   103
#define IDM_SET_MAC          104
#define IDM_UPDATE_REMOTE    105
#define IDM_UPDATE_RECEIVER  106
#define IDM_TEST_REMOTE      107
#define IDM_TEST_RECEIVER    108
#define IDM_UPDATE_TEMPABOX  109
#define IDM_TEST_TEMPABOX    110
#define IDM_EXIT             111

/* MacDialog: the console's address as reported, and the new address */
#define IDC_MAC_CURRENT_HIGH 201
#define IDC_MAC_CURRENT_LOW  202
#define IDC_MAC_NEW_HIGH     203
#define IDC_MAC_NEW_LOW      204

/* IdiomaDialog: the free-memory line, the list, Clear and one button per language
   (the language index is the id minus IDC_LANG_CASTELLANO) */
#define IDC_LANG_FREE        301
#define IDC_LANG_LIST        302
#define IDC_LANG_CLEAR       303
#define IDC_LANG_CASTELLANO  304
#define IDC_LANG_ENGLISH     305
#define IDC_LANG_FRANCAIS    306
#define IDC_LANG_DEUTSCH     307

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// core.h - the core's interface to its backends (src/platform/win32,
// src/platform/posix, tests/backend): the one header a backend includes besides
// platform.h and its own.
//
// What a backend does with it:
// - entry and window: ParseCommandLine, FormatWindowTitle, ShellCreate, ShellDestroy,
//   ShellCommand for a menu command, ShellMenu for the File menu of this run;
// - painting: the text screen's cells (ScreenCells, SCREEN_COLUMNS x SCREEN_ROWS,
//   one font code each), drawn as they are;
// - the two dialogs: LanguageDialogOpen / LanguageDialogButton and the texts to show
//   (IdiomaDialog), MacDialogInit / MacDialogTimer / MacDialogCommand /
//   MacDialogTakeChanges (MacDialog), with the control ids of resources/resource.h.
#pragma once

#include "base/screen.h"
#include "resources/resource.h"
#include "mac/mac.h"
#include "shell/shell.h"
#include "update/languages.h"

// taskbar.cpp - the progress of long work on the window's taskbar button (Windows 7
// and later). A technician who has switched to another window still sees the bar
// move, and a red button when the update failed.
//
// The interface is asked for once, on the window thread, the first time there is
// progress to show. Where it is missing (older Windows, a Wine without it, COM refused)
// nothing is shown and nothing else changes.
#include "platform/win32/win32.h"

#include <shobjidl.h>

#include "platform/platform.h"

static ITaskbarList3* Taskbar = NULL;
static bool TaskbarAsked = false;

// A debugger (or Wine's +debugstr channel) hears why the button shows nothing.
static void Note(const char* what, HRESULT result) {
    char text[96];
    wsprintfA(text, "kqsfupdt: taskbar %s failed (0x%08lx)\n", what, (unsigned long)result);
    OutputDebugStringA(text);
}

static ITaskbarList3* TaskbarInterface() {
    if (TaskbarAsked) return Taskbar;
    TaskbarAsked = true;
    // S_FALSE (already initialised on this thread) is as good as S_OK.
    HRESULT init = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) {
        Note("CoInitializeEx", init);
        return NULL;
    }
    ITaskbarList3* list = NULL;
    HRESULT created = CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                       (void**)&list);
    if (FAILED(created) || list == NULL) {
        Note("CoCreateInstance", created);
        return NULL;
    }
    HRESULT ready = list->HrInit();
    if (FAILED(ready)) {
        Note("HrInit", ready);
        list->Release();
        return NULL;
    }
    Taskbar = list;
    return Taskbar;
}

static TBPFLAG FlagOf(PlatProgressState state) {
    switch (state) {
    case PLAT_PROGRESS_RUNNING: return TBPF_NORMAL;
    case PLAT_PROGRESS_DONE: return TBPF_NORMAL;
    case PLAT_PROGRESS_FAILED: return TBPF_ERROR;
    case PLAT_PROGRESS_HIDDEN: break;
    }
    return TBPF_NOPROGRESS;
}

void PlatShowProgress(const PlatProgress* p) {
    if (Win32MainWindow == NULL) return;
    if (p->state == PLAT_PROGRESS_HIDDEN && !TaskbarAsked) return;  // nothing ever shown
    ITaskbarList3* list = TaskbarInterface();
    if (list == NULL) return;
    // A failure here (the button not created yet, the shell restarted) is not worth
    // more than a skipped frame: the next report tries again.
    if (p->state != PLAT_PROGRESS_HIDDEN) {
        ULONGLONG total = p->total != 0 ? p->total : 1;
        ULONGLONG done = p->total != 0 ? (p->done < p->total ? p->done : p->total) : 1;
        HRESULT r = list->SetProgressValue(Win32MainWindow, done, total);
        if (FAILED(r)) Note("SetProgressValue", r);
    }
    HRESULT r = list->SetProgressState(Win32MainWindow, FlagOf(p->state));
    if (FAILED(r)) Note("SetProgressState", r);
}

// The process's edge on Windows. No signal ends a Windows program from outside: taskkill without
// /F, like the window's close button, sends the window WM_CLOSE, which SDL's window procedure
// turns into a quit request in the queue. What is left is a console's Ctrl+C and Ctrl+Break (and
// Wine's SIGINT, which it hands on as Ctrl+C).
#include "app/process_edge.h"

#include "app/startup.h"

#include <windows.h>

#include <cstdlib>

namespace {

// Runs on a thread of its own that Windows starts for the event. SDL's handler, reached
// through the C library's SIGINT, would push a quit event into the queue from that thread while
// the game takes from it; a flag is all this thread may touch. True: the event is handled, and
// neither SDL's handler nor Windows' default (ending the process) runs.
BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        quit_signalled = 1;
        return TRUE;
    }
    return FALSE;
}

} // namespace

// A program started with Ctrl+C ignored is never told of it, so there is nothing to note.
void note_outside_quit_requests() {}

// Windows asks the handlers added last first, so this one, added after SDL_Init, comes before
// the C library's.
void catch_outside_quit_requests() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The C library's copy of the environment, which SDL reads with getenv.
void set_environment(const char* name, const char* value, bool replace) {
    if (replace || std::getenv(name) == nullptr) {
        _putenv_s(name, value);
    }
}

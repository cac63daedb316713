// The process's edge on Windows. No signal ends a Windows program from outside, and a program
// with a window has no console to take Ctrl+C from: taskkill without /F, like the window's close
// button, sends the window WM_CLOSE, which SDL's window procedure turns into a quit request in
// the queue. (taskkill /F ends the process at once; nothing can say goodbye then.)
#include "app/process_edge.h"

#include <cstdlib>

// SDL_Init's own SIGINT and SIGTERM handlers stay: nothing raises either here.
void note_outside_quit_requests() {}
void catch_outside_quit_requests() {}

// The C library's copy of the environment, which SDL reads with getenv.
void set_environment(const char* name, const char* value, bool replace) {
    if (replace || std::getenv(name) == nullptr) {
        _putenv_s(name, value);
    }
}

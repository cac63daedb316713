// The process's edge on Linux and in the browser's runtime: SIGINT and SIGTERM end the game
// politely, the environment is the C library's, and the log is standard output (the browser's
// console) alone.
#include "app/process_edge.h"

#include "app/startup.h"

#include <csignal>
#include <cstdlib>

namespace {

bool sigint_at_default = false;
bool sigterm_at_default = false;

extern "C" void on_quit_signal(int) {
    quit_signalled = 1;
}

bool at_default(int signal_number) {
    struct sigaction current {};
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL;
}

} // namespace

void note_outside_quit_requests() {
    sigint_at_default = at_default(SIGINT);
    sigterm_at_default = at_default(SIGTERM);
}

// SDL turns SIGINT and SIGTERM into quit events from inside the signal handler, which edits the
// event queue even while the interrupted code is halfway through taking from it, so now and then
// the request vanished. A flag is all a handler can safely set. Replaces SDL's own handlers,
// which SDL_Init has just installed, and only where the signal was at its default before: a
// shell starts a background job with SIGINT ignored so that Ctrl-C is the shell's, and SDL itself
// leaves such a signal alone.
void catch_outside_quit_requests() {
    struct sigaction action {};
    action.sa_handler = on_quit_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigint_at_default) {
        sigaction(SIGINT, &action, nullptr);
    }
    if (sigterm_at_default) {
        sigaction(SIGTERM, &action, nullptr);
    }
}

void set_environment(const char* name, const char* value, bool replace) {
    setenv(name, value, replace ? 1 : 0);
}

void keep_log_file() {}

void tell_player_of_failure(const std::string&) {}

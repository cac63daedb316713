/* Preloaded into the client by the window-close table: once its exit handlers have run, each
 * dlclose() pauses 300 ms after unloading, as on a busy machine. sdl12-compat unloads SDL 2 then,
 * so a thread SDL 2 still runs (sound, timer) wakes in code that is gone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static volatile int ending;
static void note_end(void) {
    ending = 1;
}
/* Registered before the client's own exit handlers, so it runs after them. */
__attribute__((constructor)) static void watch_for_the_end(void) {
    atexit(note_end);
}

int dlclose(void* handle) {
    static int (*real)(void*);
    if (real == NULL) {
        real = (int (*)(void*))dlsym(RTLD_NEXT, "dlclose");
    }
    const int result = real(handle);
    const struct timespec pause = {0, 300 * 1000 * 1000};
    if (ending) {
        nanosleep(&pause, NULL);
    }
    return result;
}

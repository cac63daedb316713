/* Preloaded into the client by the window-close table: once the process has begun to end (its
 * exit handlers have run), each dlclose() takes 300 ms after it has unloaded, as it may on a busy
 * machine. sdl12-compat unloads SDL 2 then, so a thread SDL 2 still runs (sound, timer) wakes
 * in code that is gone: every time here, now and then without the pause. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static volatile int ending;

static void note_end(void) {
    ending = 1;
}

/* Registered before the client's own handlers, so it runs after them: after SDL_Quit. */
__attribute__((constructor)) static void watch_for_the_end(void) {
    atexit(note_end);
}

int dlclose(void* handle) {
    static int (*real)(void*);
    if (real == NULL) {
        real = (int (*)(void*))dlsym(RTLD_NEXT, "dlclose");
    }
    const int result = real(handle);
    if (ending) {
        const struct timespec pause = {0, 300 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
    return result;
}

/* Preloaded into the client by the window-close table: each dlclose() takes 300 ms after it has
 * unloaded, as it may on a busy machine. sdl12-compat unloads SDL 2 as the process ends, so a
 * thread SDL 2 still runs then (sound, timer) wakes in code that is gone: every time here, now
 * and then without the pause. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>

int dlclose(void* handle) {
    static int (*real)(void*);
    if (real == NULL) {
        real = (int (*)(void*))dlsym(RTLD_NEXT, "dlclose");
    }
    const int result = real(handle);
    const struct timespec pause = {0, 300 * 1000 * 1000};
    nanosleep(&pause, NULL);
    return result;
}

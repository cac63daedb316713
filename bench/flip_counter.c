/* Counts the frames the process it is preloaded into shows (LD_PRELOAD): every second it appends
 * "SECONDS FRAMES" to the file FLIP_COUNTER_FILE names, SECONDS since the first frame and FRAMES
 * the SDL_Flip calls in that second. bench/stall_frames.py reads it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef struct SDL_Surface SDL_Surface;

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int SDL_Flip(SDL_Surface* screen) {
    static int (*real_flip)(SDL_Surface*);
    static FILE* log;
    static double first, second_began;
    static long frames;
    if (real_flip == NULL) {
        real_flip = (int (*)(SDL_Surface*))dlsym(RTLD_NEXT, "SDL_Flip");
        const char* path = getenv("FLIP_COUNTER_FILE");
        log = path != NULL ? fopen(path, "w") : NULL;
        first = second_began = now();
    }
    const int result = real_flip(screen);
    ++frames;
    const double t = now();
    if (t - second_began >= 1.0 && log != NULL) {
        fprintf(log, "%.1f %ld\n", t - first, frames);
        fflush(log);
        frames = 0;
        second_began = t;
    }
    return result;
}

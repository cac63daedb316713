/* Counts the heap calls of the process it is preloaded into (LD_PRELOAD), so the benchmark can
 * tell how many allocations one pass makes. With ALLOC_COUNTER_FILE set, the counters live in
 * that file, mapped shared: the benchmark reads them while the program runs, at two pass counts,
 * and the start-up and shut-down allocations drop out of the difference. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

/* glibc's own entry points: calling them needs no dlsym, which itself allocates. */
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* ptr, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* ptr);

/* Layout read by bench/client_bench.py: five unsigned 64-bit counters in this order. */
struct counters {
    _Atomic uint64_t malloc_calls;
    _Atomic uint64_t calloc_calls;
    _Atomic uint64_t realloc_calls;
    _Atomic uint64_t memalign_calls;
    _Atomic uint64_t free_calls;
};

static struct counters early;
static struct counters* live = &early;

static void count(_Atomic uint64_t* counter) {
    atomic_fetch_add_explicit(counter, 1, memory_order_relaxed);
}

__attribute__((constructor)) static void map_counters(void) {
    const char* path = getenv("ALLOC_COUNTER_FILE");
    if (path == NULL || *path == '\0') {
        return;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, sizeof(struct counters)) == 0) {
        void* shared =
            mmap(NULL, sizeof(struct counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (shared != MAP_FAILED) {
            struct counters* mapped = shared;
            atomic_store(&mapped->malloc_calls, atomic_load(&early.malloc_calls));
            atomic_store(&mapped->calloc_calls, atomic_load(&early.calloc_calls));
            atomic_store(&mapped->realloc_calls, atomic_load(&early.realloc_calls));
            atomic_store(&mapped->memalign_calls, atomic_load(&early.memalign_calls));
            atomic_store(&mapped->free_calls, atomic_load(&early.free_calls));
            live = mapped;
        }
    }
    close(fd);
    /* Children (if any) would truncate the same file: they count nothing. */
    unsetenv("ALLOC_COUNTER_FILE");
}

void* malloc(size_t size) {
    count(&live->malloc_calls);
    return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
    count(&live->calloc_calls);
    return __libc_calloc(n, size);
}

void* realloc(void* ptr, size_t size) {
    count(&live->realloc_calls);
    return __libc_realloc(ptr, size);
}

void free(void* ptr) {
    if (ptr != NULL) {
        count(&live->free_calls);
    }
    __libc_free(ptr);
}

void* memalign(size_t alignment, size_t size) {
    count(&live->memalign_calls);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    count(&live->memalign_calls);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    count(&live->memalign_calls);
    void* p = __libc_memalign(alignment, size);
    if (p == NULL) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void* valloc(size_t size) {
    count(&live->memalign_calls);
    return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), size);
}

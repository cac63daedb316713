/* Preloaded into the client by the network-fault table (LD_PRELOAD): the send() on a stream
 * socket that would carry the stream past SHORT_SEND_AT bytes sends only up to there, and the
 * send after it finds no room (EAGAIN), once: what the kernel does when a non-blocking socket's
 * buffer fills in the middle of an update. Other sends are untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>

ssize_t send(int fd, const void* data, size_t length, int flags) {
    static ssize_t (*real_send)(int, const void*, size_t, int);
    static size_t sent;
    static int stage; /* 0: counting, 1: cut, the next send finds no room, 2: done */
    if (real_send == NULL) {
        real_send = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
    }
    int type = 0;
    socklen_t size = sizeof type;
    const char* at = getenv("SHORT_SEND_AT");
    if (at == NULL || stage == 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
        type != SOCK_STREAM) {
        return real_send(fd, data, length, flags);
    }
    if (stage == 1) {
        stage = 2;
        errno = EAGAIN;
        return -1;
    }
    const size_t limit = strtoul(at, NULL, 10);
    if (sent + length > limit) {
        stage = 1;
        length = limit - sent;
    }
    const ssize_t n = real_send(fd, data, length, flags);
    if (n > 0) {
        sent += (size_t)n;
    }
    return n;
}

/* Preloaded into the client by the network-fault table: the send() on a stream socket that would
 * take the stream past SHORT_SEND_AT bytes sends up to there, and the next finds no room (EAGAIN),
 * once, as when a non-blocking socket's buffer fills mid-update. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>

ssize_t send(int fd, const void* data, size_t length, int flags) {
    static ssize_t (*real_send)(int, const void*, size_t, int);
    static size_t sent;
    static int stage; /* 0: counting, 1: cut (the next finds no room), 2: done */
    if (real_send == NULL) {
        real_send = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
    }
    int type = 0;
    socklen_t size = sizeof type;
    if (getenv("SHORT_SEND_AT") == NULL || stage == 2 ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
        return real_send(fd, data, length, flags);
    }
    if (stage == 1) {
        stage = 2;
        errno = EAGAIN;
        return -1;
    }
    const size_t limit = strtoul(getenv("SHORT_SEND_AT"), NULL, 10);
    if (sent + length > limit) {
        stage = 1;
        length = limit - sent;
    }
    const ssize_t n = real_send(fd, data, length, flags);
    sent += n > 0 ? (size_t)n : 0;
    return n;
}

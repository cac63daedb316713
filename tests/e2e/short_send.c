/* Preloaded into the client by the network-fault table: the send() on a TCP socket that would
 * take the stream past SHORT_SEND_AT bytes sends up to there, and the next finds no room (EAGAIN),
 * once, as when a non-blocking socket's buffer fills mid-update. Wine's Winsock sends with
 * sendmsg() on the Linux socket underneath and passes the count on: the same cut there. Local
 * sockets are left alone: Wine talks to its server over them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

static size_t sent;
static int stage; /* 0: counting, 1: cut (the next finds no room), 2: done */

/* Whether fd is a TCP socket over IPv4, the kind the game's link sends on. */
static int is_tcp(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    struct sockaddr_in self;
    socklen_t self_size = sizeof self;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM &&
           getsockname(fd, (struct sockaddr*)&self, &self_size) == 0 && self.sin_family == AF_INET;
}

/* How much of length to send, while the cut is still to come: up to the cut; -1 when the send
 * must find no room. */
static ssize_t allowed(size_t length) {
    if (stage == 1) {
        stage = 2;
        return -1;
    }
    const size_t limit = strtoul(getenv("SHORT_SEND_AT"), NULL, 10);
    if (sent + length > limit) {
        stage = 1;
        return (ssize_t)(limit - sent);
    }
    return (ssize_t)length;
}

static int cutting(int fd) {
    return getenv("SHORT_SEND_AT") != NULL && stage != 2 && is_tcp(fd);
}

static ssize_t counted(ssize_t n) {
    sent += n > 0 ? (size_t)n : 0;
    return n;
}

ssize_t send(int fd, const void* data, size_t length, int flags) {
    static ssize_t (*real_send)(int, const void*, size_t, int);
    if (real_send == NULL) {
        real_send = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
    }
    if (!cutting(fd)) {
        return real_send(fd, data, length, flags);
    }
    const ssize_t take = allowed(length);
    if (take < 0) {
        errno = EAGAIN;
        return -1;
    }
    return counted(real_send(fd, data, (size_t)take, flags));
}

ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    static ssize_t (*real_sendmsg)(int, const struct msghdr*, int);
    if (real_sendmsg == NULL) {
        real_sendmsg = (ssize_t(*)(int, const struct msghdr*, int))dlsym(RTLD_NEXT, "sendmsg");
    }
    if (message->msg_iovlen != 1 || !cutting(fd)) { /* the game's sends are one piece each */
        return real_sendmsg(fd, message, flags);
    }
    const ssize_t take = allowed(message->msg_iov[0].iov_len);
    if (take < 0) {
        errno = EAGAIN;
        return -1;
    }
    struct iovec piece = {message->msg_iov[0].iov_base, (size_t)take};
    struct msghdr cut = *message;
    cut.msg_iov = &piece;
    return counted(real_sendmsg(fd, &cut, flags));
}

#include "agent/net_queue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace
{

struct queue {
    bool used;
    int fd;
    char *buf;
    size_t off; // first byte not sent yet
    size_t len; // end of the bytes queued
    size_t cap;
};

queue queues[NETQ_SLOTS];

bool again(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

queue *find(int fd)
{
    if (fd < 0)
        return nullptr;
    for (queue &q : queues) {
        if (q.used && q.fd == fd)
            return &q;
    }
    return nullptr;
}

queue *take(int fd)
{
    for (queue &q : queues) {
        if (!q.used) {
            q = queue{};
            q.used = true;
            q.fd = fd;
            return &q;
        }
    }
    return nullptr;
}

void release(queue *q)
{
    free(q->buf);
    *q = queue{};
}

// Bytes of the socket's taking from buf: n or fewer, 0 when it takes none
// now, -1 when the connection is broken.
ssize_t send_now(int fd, const char *buf, size_t n)
{
    for (;;) {
        ssize_t w = send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w >= 0)
            return w;
        if (errno == EINTR)
            continue;
        return again(errno) ? 0 : -1;
    }
}

// Appends n bytes to q, keeping its bound.  0 or -1.
int append(queue *q, const char *buf, size_t n)
{
    size_t waiting = q->len - q->off;
    if (n > netq_st.max || waiting > netq_st.max - n)
        return -1;
    if (q->off > 0) {
        memmove(q->buf, q->buf + q->off, waiting);
        q->off = 0;
        q->len = waiting;
    }
    if (q->len + n > q->cap) {
        size_t cap = q->cap ? q->cap : 4096;
        while (cap < q->len + n)
            cap *= 2;
        void *grown = realloc(q->buf, cap);
        if (grown == nullptr)
            return -1;
        q->buf = static_cast<char *>(grown);
        q->cap = cap;
    }
    memcpy(q->buf + q->len, buf, n);
    q->len += n;
    return 0;
}

} // namespace

netq_state netq_st = {NETQ_DEFAULT_MAX};

void netq_init(void)
{
    for (queue &q : queues) {
        free(q.buf);
        q = queue{};
    }
    netq_st = {NETQ_DEFAULT_MAX};
}

int netq_send(int fd, const char *buf, size_t n)
{
    if (fd < 0)
        return -1;
    queue *q = find(fd);
    if (q == nullptr) {
        ssize_t w = send_now(fd, buf, n);
        if (w < 0)
            return -1;
        if (static_cast<size_t>(w) == n)
            return 0;
        buf += w;
        n -= static_cast<size_t>(w);
        if ((q = take(fd)) == nullptr)
            return -1;
    }
    // Behind bytes already waiting, nothing may overtake them.
    if (append(q, buf, n) != 0) {
        release(q);
        return -1;
    }
    return netq_flush(fd);
}

int netq_flush(int fd)
{
    queue *q = find(fd);
    if (q == nullptr)
        return 0;
    while (q->off < q->len) {
        ssize_t w = send_now(fd, q->buf + q->off, q->len - q->off);
        if (w < 0) {
            release(q);
            return -1;
        }
        if (w == 0)
            return 0;
        q->off += static_cast<size_t>(w);
    }
    // An idle connection holds no memory.
    release(q);
    return 0;
}

size_t netq_pending(int fd)
{
    const queue *q = find(fd);
    return q != nullptr ? q->len - q->off : 0;
}

void netq_forget(int fd)
{
    if (queue *q = find(fd))
        release(q);
}

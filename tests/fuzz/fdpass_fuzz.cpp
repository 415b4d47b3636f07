// Fuzz target of the control-message rules of descriptor passing: the input
// chooses the socket type, the receiver's options, how many descriptor
// messages with how many descriptors, credentials and the data length; the
// message goes through a real socket pair into file_receive_cmsg. Whatever
// arrives, the call either hands out exactly one working descriptor or
// none, and no received descriptor stays open.
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "qpalarm.h"
#include "qperr.h"
#include "qpsocket.h"

namespace {

int open_fd_count()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (struct dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

// Reads the input from the front, zeros once it is used up.
struct input {
    const uint8_t* data;
    size_t size;
    uint8_t next()
    {
        if (!size)
            return 0;
        size--;
        return *data++;
    }
};

const int socket_types[] = {SOCK_STREAM, SOCK_DGRAM, SOCK_SEQPACKET};

// Builds and sends one message; returns whether it was sent.
bool send_message(int sock, input* in, int spare_fd)
{
    alignas(cmsghdr) char control[1024] = {};
    size_t len = 0;
    unsigned rights_messages = in->next() % 4;
    for (unsigned m = 0; m < rights_messages; m++) {
        unsigned count = in->next() % 6;
        int fds[6];
        for (unsigned i = 0; i < count; i++)
            fds[i] = spare_fd;
        cmsghdr* cmsg = reinterpret_cast<cmsghdr*>(control + len);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(count * sizeof(int));
        memcpy(CMSG_DATA(cmsg), fds, count * sizeof(int));
        len += CMSG_SPACE(count * sizeof(int));
    }
    if (in->next() & 1) {
        struct ucred cred = {getpid(), getuid(), getgid()};
        cmsghdr* cmsg = reinterpret_cast<cmsghdr*>(control + len);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_CREDENTIALS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(cred));
        memcpy(CMSG_DATA(cmsg), &cred, sizeof(cred));
        len += CMSG_SPACE(sizeof(cred));
    }
    char bytes[3] = {0, 1, 2};
    struct iovec iov = {bytes, static_cast<size_t>(in->next() % 4)};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = len ? control : nullptr;
    msg.msg_controllen = len;
    return sendmsg(sock, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

} // namespace

// One receive before the first input: the alarm thread and the recycled
// pollable wire of the cancel wait keep descriptors of their own.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
        alarm_pin_t timeout;
        alarm_pin_init(&timeout, alarm_now() + 5000);
        (void)!write(pair[0], "", 1);
        file_receive_cmsg(pair[1], 0, &timeout.pin.vtbl, nullptr, nullptr, nullptr);
        alarm_pin_term(&timeout);
        close(pair[0]);
        close(pair[1]);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input in = {data, size};
    int type = socket_types[in.next() % 3];
    int pair[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    uint8_t options = in.next();
    int on = 1;
    if (options & 1)
        setsockopt(pair[1], SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    if (options & 2)
        setsockopt(pair[1], SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
    int spare = dup(pair[0]);
    int before = open_fd_count();
    bool sent = send_message(pair[0], &in, spare);
    close(spare);
    close(pair[0]); // the receive sees the message, then the end
    if (sent || type != SOCK_DGRAM) {
        alarm_pin_t timeout; // only a safety net: a message or the end is always there
        alarm_pin_init(&timeout, alarm_now() + 5000);
        int uid, gid, fd = -1;
        bool want_fd = options & 4;
        int err = file_receive_cmsg(pair[1], 0, &timeout.pin.vtbl, options & 8 ? &uid : nullptr,
                                    nullptr, want_fd ? &fd : nullptr);
        QP_ASSERT(err != err_cancelled);
        (void)gid;
        if (err)
            QP_ASSERT(fd == -1);
        if (fd != -1) {
            QP_ASSERT(fd > 2 && fcntl(fd, F_GETFD) & FD_CLOEXEC);
            fd_close(fd);
        }
        alarm_pin_term(&timeout);
    }
    close(pair[1]);
    QP_ASSERT(open_fd_count() == before - 3);
    return 0;
}

/*
 * sysexec_rawclient.c - a client of the execution service's request socket
 * written from the wire format alone (no code of the system's library), as
 * a hostile local user would write one. Also a fake daemon that plants a
 * listener on the request socket's name.
 *
 * Wire format: every packet is a 32-byte little-endian header (u64 cookie,
 * u8 flags, u8 fd_mask, 2 reserved, u32 data_size, i32 code or perr, u32
 * max_output_size or i32 result, 8 reserved) and its data padded with zeros
 * to a multiple of 16. The descriptors of fd_mask follow the packet on the
 * same connection, one message each (one data byte and one SCM_RIGHTS
 * descriptor), each acknowledged by the receiver with one byte.
 *
 *   rawclient touch                  perr of a touch
 *   rawclient bad <case>             perr of a malformed start request
 *   rawclient start <prog> [args]    a start with /dev/null as the three
 *                                    descriptors: perr, pid, the exit-status
 *                                    bytes in hex
 *   rawclient startio <prog> [args]  the same with this client's own three
 *                                    standard descriptors
 *   rawclient watchclose <prog> [args]  a start whose exit-status socket is
 *                                    closed at once: prints the pid
 *   rawclient oversize <data_size>   a header announcing that much data:
 *                                    "closed" when the daemon hangs up
 *   rawclient halfopen <n> <prog> [args]  n connections that send half a
 *                                    header and stay, then a start
 *   rawclient holdopen <n> <sec>     n connections that send half a header
 *                                    and stay for sec seconds: "held=k"
 *                                    once all are made, k of them still open
 *   rawclient stallfd <n> <prog> [<sec>]  n start requests that announce
 *                                    three descriptors and never send them;
 *                                    prints "stalled=n" and holds them until
 *                                    its input ends, or with <sec> until the
 *                                    daemon hung up on all of them or <sec>
 *                                    seconds passed: "hungup=k" 
 *   rawclient slam <n>               n connections that close at once
 *   rawclient proxied <path> <prog> [args]  listens on path for the proxy
 *                                    command's connection, sends it a start
 *                                    (own descriptors) and hangs up
 *   rawclient fake <seconds>         listens on the request socket's name;
 *                                    prints "FAKE-FD" for every descriptor
 *                                    that reaches it
 *
 * Results go to standard output, one "key=value" line each.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#define SOCKET_PATH "/tmp/com.velkor.qpsysexec.ipc-socket"

enum { header_size = 32, code_touch = 2, code_start = 3 };

static void die(const char* what)
{
    printf("error=%s errno=%d\n", what, errno);
    exit(1);
}

static void put32(unsigned char* p, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        p[i] = (unsigned char)(v >> (8 * i));
    }
}

static uint32_t get32(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* Moves all size bytes in one direction (EINTR and short transfers
 * handled): 0 when all moved, -1 at the end of data or on error. */
static int transfer_all(int fd, char* p, size_t size, int sending)
{
    while (size) {
        ssize_t n = sending ? send(fd, p, size, MSG_NOSIGNAL) : read(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        p += n;
        size -= (size_t)n;
    }
    return 0;
}

static int write_all(int fd, const void* data, size_t size)
{
    return transfer_all(fd, (char*)data, size, 1);
}

static int read_all(int fd, void* data, size_t size)
{
    return transfer_all(fd, data, size, 0);
}

static int connect_service(void)
{
    struct sockaddr_un a;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        die("socket");
    }
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, SOCKET_PATH);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        die("connect");
    }
    return fd;
}

static int send_fd(int sock, int fd)
{
    char byte = 0, ack;
    char cbuf[CMSG_SPACE(sizeof(int))];
    struct iovec iov = {&byte, 1};
    struct msghdr m;
    memset(&m, 0, sizeof m);
    memset(cbuf, 0, sizeof cbuf);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = cbuf;
    m.msg_controllen = sizeof cbuf;
    struct cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    if (sendmsg(sock, &m, MSG_NOSIGNAL) != 1) {
        return -1;
    }
    return read_all(sock, &ack, 1);
}

/* Receives one descriptor message and acknowledges it; the descriptor or -1. */
static int recv_fd(int sock)
{
    char byte, cbuf[256];
    struct iovec iov = {&byte, 1};
    struct msghdr m;
    int fd = -1;
    memset(&m, 0, sizeof m);
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = cbuf;
    m.msg_controllen = sizeof cbuf;
    if (recvmsg(sock, &m, MSG_CMSG_CLOEXEC) != 1) {
        return -1;
    }
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            memcpy(&fd, CMSG_DATA(c), sizeof fd);
        }
    }
    byte = 0;
    write_all(sock, &byte, 1);
    return fd;
}

static void build_header(unsigned char* h, uint32_t data_size, int code, uint32_t max_output,
                         unsigned fd_mask)
{
    memset(h, 0, header_size);
    h[0] = 1; /* cookie 1 */
    h[9] = (unsigned char)fd_mask;
    put32(h + 12, data_size);
    put32(h + 16, (uint32_t)code);
    put32(h + 20, max_output);
}

/* Sends one request with the given descriptors (up to 3). */
static void send_request(int sock, int code, const void* data, uint32_t size, uint32_t max_output,
                         const int* fds, int fd_count)
{
    size_t padded = (size + 15u) & ~(size_t)15;
    unsigned char* packet = calloc(1, header_size + padded);
    if (!packet) {
        die("calloc");
    }
    build_header(packet, size, code, max_output, (1u << fd_count) - 1);
    memcpy(packet + header_size, data, size);
    if (write_all(sock, packet, header_size + padded) != 0) {
        die("send");
    }
    free(packet);
    for (int i = 0; i < fd_count; i++) {
        if (send_fd(sock, fds[i]) != 0) {
            die("send_fd");
        }
    }
}

typedef struct result_t {
    int perr;
    uint32_t size;
    unsigned char data[64];
    int fds[8];
} result_t;

/* Reads one result with its data and descriptors; -1 when the daemon hung up. */
static int read_result(int sock, result_t* r)
{
    unsigned char h[header_size];
    memset(r, 0, sizeof *r);
    for (int i = 0; i < 8; i++) {
        r->fds[i] = -1;
    }
    if (read_all(sock, h, sizeof h) != 0) {
        return -1;
    }
    r->perr = (int)get32(h + 16);
    r->size = get32(h + 12);
    size_t padded = (r->size + 15u) & ~(size_t)15;
    if (h[8] != 1 || padded > sizeof r->data || read_all(sock, r->data, padded) != 0) {
        die("result");
    }
    for (int i = 0; i < 8; i++) {
        if (h[9] & (1u << i)) {
            r->fds[i] = recv_fd(sock);
        }
    }
    return 0;
}

static void print_result(const result_t* r)
{
    int fd_count = 0;
    for (int i = 0; i < 8; i++) {
        fd_count += r->fds[i] >= 0;
    }
    printf("perr=%d size=%u fds=%d\n", r->perr, r->size, fd_count);
}

/* A start record: argc, the texts with their zeros, then the folder. */
static size_t start_record(unsigned char* buf, size_t cap, int argc, char** argv,
                           const char* folder)
{
    size_t n = 4;
    put32(buf, (uint32_t)argc);
    for (int i = 0; i < argc; i++) {
        size_t len = strlen(argv[i]) + 1;
        if (n + len > cap) {
            die("record");
        }
        memcpy(buf + n, argv[i], len);
        n += len;
    }
    size_t len = strlen(folder) + 1;
    if (n + len > cap) {
        die("record");
    }
    memcpy(buf + n, folder, len);
    return n + len;
}

static void null_fds(int* fds)
{
    for (int i = 0; i < 3; i++) {
        fds[i] = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (fds[i] < 0) {
            die("open /dev/null");
        }
    }
}

static int cmd_touch(void)
{
    int s = connect_service();
    result_t r;
    send_request(s, code_touch, "", 0, 0, NULL, 0);
    if (read_result(s, &r) != 0) {
        die("no answer");
    }
    print_result(&r);
    close(s);
    return 0;
}

/* Malformed start requests, each on its own connection. */
static int cmd_bad(const char* which)
{
    static unsigned char buf[8192];
    char* args[] = {"/bin/sysexec_probe", "exit", "0"};
    uint32_t max_output = 4;
    int code = code_start;
    size_t size = start_record(buf, sizeof buf, 3, args, "/");
    if (!strcmp(which, "argc0")) {
        put32(buf, 0);
    } else if (!strcmp(which, "argc1001")) {
        put32(buf, 1001);
    } else if (!strcmp(which, "argcneg")) {
        put32(buf, 0x80000000u);
    } else if (!strcmp(which, "noterm")) {
        size = start_record(buf, sizeof buf, 1, args, "");
        size -= 2; /* drop the folder's zero and the argument's */
        put32(buf, 1);
    } else if (!strcmp(which, "short")) {
        size = 7;
    } else if (!strcmp(which, "smallout")) {
        max_output = 3;
    } else if (!strcmp(which, "emptyprog")) {
        char* empty[] = {""};
        size = start_record(buf, sizeof buf, 1, empty, "/");
    } else if (!strcmp(which, "nofolder")) {
        size = start_record(buf, sizeof buf, 3, args, "");
    } else if (!strcmp(which, "unapproved")) {
        char* other[] = {"/bin/busybox", "true"};
        size = start_record(buf, sizeof buf, 2, other, "/");
    } else if (!strcmp(which, "missing")) {
        char* missing[] = {"/bin/no-such-program"};
        size = start_record(buf, sizeof buf, 1, missing, "/");
    } else if (!strcmp(which, "unknowncode")) {
        code = 9;
        max_output = 0;
    } else {
        die("case");
    }
    int s = connect_service();
    int fds[3];
    null_fds(fds);
    send_request(s, code, buf, (uint32_t)size, max_output, fds, code == code_start ? 3 : 0);
    result_t r;
    if (read_result(s, &r) != 0) {
        die("no answer");
    }
    print_result(&r);
    close(s);
    return 0;
}

static int pass_own_fds;
/* The connection of the proxy mode, else -1: each start connects anew. */
static int proxied_fd = -1;

/* Sends a start; returns the connection's exit-status socket or -1. */
static int do_start(int argc, char** argv, int print)
{
    static unsigned char buf[65536];
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
        die("getcwd");
    }
    size_t size = start_record(buf, sizeof buf, argc, argv, cwd);
    int s = proxied_fd >= 0 ? proxied_fd : connect_service();
    int fds[3] = {0, 1, 2};
    if (!pass_own_fds) {
        null_fds(fds);
    }
    send_request(s, code_start, buf, (uint32_t)size, 4, fds, 3);
    result_t r;
    if (read_result(s, &r) != 0) {
        die("no answer");
    }
    if (s != proxied_fd) {
        close(s);
    }
    if (print) {
        print_result(&r);
    }
    if (r.perr == 0 && r.size == 4) {
        printf("pid=%u\n", get32(r.data));
    }
    return r.fds[0];
}

static int cmd_start(int argc, char** argv)
{
    int status_fd = do_start(argc, argv, 1);
    unsigned char code[4];
    if (status_fd < 0) {
        return 0;
    }
    if (read_all(status_fd, code, 4) != 0) {
        printf("exit=none\n");
    } else {
        printf("exit=%02x%02x%02x%02x\n", code[0], code[1], code[2], code[3]);
        char more;
        printf("after=%s\n", read(status_fd, &more, 1) == 0 ? "closed" : "data");
    }
    close(status_fd);
    return 0;
}

static int cmd_watchclose(int argc, char** argv)
{
    int status_fd = do_start(argc, argv, 0);
    if (status_fd >= 0) {
        close(status_fd);
    }
    return 0;
}

/* A header announcing size bytes, then some of them: the daemon must hang
 * up rather than wait for or allocate them. */
static int cmd_oversize(uint32_t size)
{
    int s = connect_service();
    unsigned char h[header_size + 64];
    memset(h, 'x', sizeof h);
    build_header(h, size, code_start, 4, 0);
    write_all(s, h, sizeof h);
    struct pollfd p = {s, POLLIN, 0};
    char byte;
    int ready = poll(&p, 1, 10000);
    ssize_t got = ready > 0 ? read(s, &byte, 1) : 1;
    printf("%s\n", got <= 0 ? "closed" : "open");
    close(s);
    return 0;
}

static int cmd_halfopen(int n, int argc, char** argv)
{
    int* socks = malloc(sizeof(int) * (size_t)n);
    unsigned char h[header_size];
    build_header(h, 16, code_start, 4, 7);
    for (int i = 0; i < n; i++) {
        socks[i] = connect_service();
        write_all(socks[i], h, 16);
    }
    int rc = cmd_start(argc, argv);
    for (int i = 0; i < n; i++) {
        close(socks[i]);
    }
    free(socks);
    return rc;
}

static int cmd_holdopen(int n, int seconds)
{
    int* socks = malloc(sizeof(int) * (size_t)n);
    unsigned char h[header_size];
    build_header(h, 16, code_start, 4, 7);
    for (int i = 0; i < n; i++) {
        socks[i] = connect_service();
        (void)send(socks[i], h, 16, MSG_NOSIGNAL);
    }
    usleep(500000); /* the daemon hangs up on those it refuses */
    int open_count = 0;
    for (int i = 0; i < n; i++) {
        struct pollfd p = {socks[i], POLLIN, 0};
        open_count += poll(&p, 1, 0) == 0;
    }
    printf("held=%d\n", open_count);
    sleep((unsigned)seconds);
    for (int i = 0; i < n; i++) {
        close(socks[i]);
    }
    free(socks);
    return 0;
}

/* How many of the n sockets the peer hangs up on within seconds. */
static int count_hangups(const int* socks, int n, int seconds)
{
    int hung = 0;
    for (int i = 0; i < n; i++) {
        struct pollfd p = {socks[i], POLLIN, 0};
        char byte;
        if (poll(&p, 1, hung == i ? seconds * 1000 : 0) == 1 && read(socks[i], &byte, 1) <= 0) {
            hung++;
        }
    }
    return hung;
}

static int cmd_stallfd(int n, char* prog, int seconds)
{
    static unsigned char buf[4096];
    size_t size = start_record(buf, sizeof buf, 1, &prog, "/");
    size_t padded = (size + 15u) & ~(size_t)15;
    unsigned char packet[header_size + sizeof buf];
    build_header(packet, (uint32_t)size, code_start, 4, 7);
    memcpy(packet + header_size, buf, size);
    memset(packet + header_size + size, 0, padded - size);
    int* socks = malloc(sizeof(int) * (size_t)n);
    for (int i = 0; i < n; i++) {
        socks[i] = connect_service();
        write_all(socks[i], packet, header_size + padded);
    }
    printf("stalled=%d\n", n);
    if (seconds > 0) {
        printf("hungup=%d\n", count_hangups(socks, n, seconds));
    } else {
        char byte;
        while (read(0, &byte, 1) > 0) {
        }
    }
    for (int i = 0; i < n; i++) {
        close(socks[i]);
    }
    free(socks);
    return 0;
}

static int cmd_slam(int n)
{
    for (int i = 0; i < n; i++) {
        close(connect_service());
    }
    printf("slammed=%d\n", n);
    return 0;
}

static int listen_at(const char* path)
{
    struct sockaddr_un a;
    int l = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path, sizeof a.sun_path - 1);
    unlink(path);
    if (l < 0 || bind(l, (struct sockaddr*)&a, sizeof a) != 0 || listen(l, 5) != 0) {
        die("listen");
    }
    return l;
}

/* The proxy command connects to us and serves what we send. */
static int cmd_proxied(const char* path, int argc, char** argv)
{
    int l = listen_at(path);
    printf("proxy=listening\n");
    alarm(60);
    proxied_fd = accept(l, NULL, NULL);
    if (proxied_fd < 0) {
        die("accept");
    }
    pass_own_fds = 1;
    cmd_start(argc, argv);
    close(proxied_fd);
    close(l);
    unlink(path);
    return 0;
}

/* A fake daemon: answers touches, reads start requests and reports every
 * descriptor that reaches it. */
static _Noreturn void cmd_fake(int seconds)
{
    int l = listen_at(SOCKET_PATH);
    chmod(SOCKET_PATH, 0666);
    printf("fake=listening pid=%d\n", (int)getpid());
    fflush(stdout);
    alarm((unsigned)seconds);
    for (;;) {
        int s = accept(l, NULL, NULL);
        if (s < 0) {
            continue;
        }
        unsigned char h[header_size], data[65536];
        while (read_all(s, h, sizeof h) == 0) {
            uint32_t size = get32(h + 12);
            size_t padded = (size + 15u) & ~(size_t)15;
            if (padded > sizeof data || read_all(s, data, padded) != 0) {
                break;
            }
            for (int i = 0; i < 8; i++) {
                if (h[9] & (1u << i)) {
                    int fd = recv_fd(s);
                    if (fd >= 0) {
                        printf("FAKE-FD\n");
                        fflush(stdout);
                        close(fd);
                    }
                }
            }
            unsigned char answer[header_size + 16];
            memset(answer, 0, sizeof answer);
            memcpy(answer, h, 8);
            answer[8] = 1;
            put32(answer + 12, get32(h + 16) == code_start ? 4 : 0);
            write_all(s, answer, get32(h + 16) == code_start ? sizeof answer : header_size);
        }
        close(s);
    }
}

int main(int argc, char** argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: see the opening comment of sysexec_rawclient.c\n");
        return 2;
    }
    const char* cmd = argv[1];
    if (!strcmp(cmd, "touch")) {
        return cmd_touch();
    }
    if (!strcmp(cmd, "bad") && argc > 2) {
        return cmd_bad(argv[2]);
    }
    if (!strcmp(cmd, "start") && argc > 2) {
        return cmd_start(argc - 2, argv + 2);
    }
    if (!strcmp(cmd, "startio") && argc > 2) {
        pass_own_fds = 1;
        return cmd_start(argc - 2, argv + 2);
    }
    if (!strcmp(cmd, "watchclose") && argc > 2) {
        return cmd_watchclose(argc - 2, argv + 2);
    }
    if (!strcmp(cmd, "oversize") && argc > 2) {
        return cmd_oversize((uint32_t)strtoul(argv[2], NULL, 0));
    }
    if (!strcmp(cmd, "halfopen") && argc > 3) {
        return cmd_halfopen(atoi(argv[2]), argc - 3, argv + 3);
    }
    if (!strcmp(cmd, "holdopen") && argc > 3) {
        return cmd_holdopen(atoi(argv[2]), atoi(argv[3]));
    }
    if (!strcmp(cmd, "stallfd") && argc > 3) {
        return cmd_stallfd(atoi(argv[2]), argv[3], argc > 4 ? atoi(argv[4]) : 0);
    }
    if (!strcmp(cmd, "slam") && argc > 2) {
        return cmd_slam(atoi(argv[2]));
    }
    if (!strcmp(cmd, "proxied") && argc > 3) {
        return cmd_proxied(argv[2], argc - 3, argv + 3);
    }
    if (!strcmp(cmd, "fake") && argc > 2) {
        cmd_fake(atoi(argv[2]));
    }
    fprintf(stderr, "rawclient: unknown command\n");
    return 2;
}

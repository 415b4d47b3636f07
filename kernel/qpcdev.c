/*
 * qpcdev.c - the generic character device: devices, per-file objects and
 * the two requests (interface query, control). The Linux side (registration,
 * file operations, copies, kernel entry) is in qpcdevlin.c.
 *
 * Objects and references:
 *   - a device (qpcdev_dev_t) lives from qp_cdev_factory until its last
 *     reference; its owner holds one through the interface (vtbl_ref_count
 *     counts those, and their last one drops that reference); every open
 *     file's object holds one while any exists (sock_count);
 *   - a per-file object (qpcdev_sock_t) is made at open with two references
 *     (the file's and the creator's) and ends when the file is released and
 *     the socket framework let go of it.
 * Counts change with compare-and-swap loops and never fall below their
 * floor (assertions). The device's final decrement happens under
 * g_qpcdev_lock, which also unlinks it from g_qpcdev_first, so a lookup by
 * number (under the same lock) never retains a dying device.
 *
 * Locks: g_qpcdev_lock (the device list, the requests in flight),
 * dev->lock (owner), so->lock (base). All are spin locks in the kernel
 * build. dev->lock and so->lock are held only to read or swap one pointer:
 * a new pointer is retained before the lock and an old one released after
 * it, so no release runs under a lock. g_qpcdev_lock is held for list walks
 * and, at cancel, while terminate pins fire (their handlers never block).
 *
 * Requests run in the calling thread. Each gets an interrupt pin, which a
 * signal to the thread fires while it waits (an interrupt wire), and a
 * terminate pin, which cancelling the device fires (requests in flight are
 * listed under g_qpcdev_lock); a control that ends with 125 while the
 * interrupt pin fired reports 4. Sizes a caller sends are checked against
 * qp_ioctl_size_max before any allocation.
 */
#include "qpcdevlin.h"
#include "sstring.h"

_Static_assert(sizeof(qp_interface_version_t) == 112, "interface record is 112 bytes");
_Static_assert(sizeof(qp_ioctl_req_t) == 48, "control request is 48 bytes");

#define qpcdev_container(ptr, type, field) ((type*)((char*)(ptr) - __builtin_offsetof(type, field)))

static sync_t g_qpcdev_lock = SYNC_INIT;
static qpcdev_dev_t* g_qpcdev_first;

/* A request in flight: cancelling its device fires its terminate pin. */
typedef struct qpcdev_inflight_t {
    qpcdev_dev_t* dev;
    pin_i* terminate_pin;
    struct qpcdev_inflight_t* next;
} qpcdev_inflight_t;

static qpcdev_inflight_t* g_qpcdev_inflight; /* under g_qpcdev_lock */

/* ---- counts ----------------------------------------------------------------- */

/* Raises a count that must already be above 0. */
static void count_retain(int* count, const char* text)
{
    int value;
    do {
        value = __atomic_load_n(count, __ATOMIC_RELAXED);
        if (value <= 0)
            qp_assert_failed(__FILE__, __LINE__, text);
    } while (!sync_xchg(count, value, value + 1));
}

/* Lowers a count that must be above 0; returns the new value. */
static int count_release(int* count, const char* text)
{
    int value;
    do {
        value = __atomic_load_n(count, __ATOMIC_RELAXED);
        if (value <= 0)
            qp_assert_failed(__FILE__, __LINE__, text);
    } while (!sync_xchg(count, value, value - 1));
    return value - 1;
}

/* Lowers a count while it stays above 1; returns 0 when it is 1 (the
 * caller then takes the last reference under its lock). */
static int count_release_above_one(int* count, const char* text)
{
    int value;
    do {
        value = __atomic_load_n(count, __ATOMIC_RELAXED);
        if (value <= 0)
            qp_assert_failed(__FILE__, __LINE__, text);
        if (value == 1)
            return 0;
    } while (!sync_xchg(count, value, value - 1));
    return 1;
}

/* ---- devices ------------------------------------------------------------------ */

static qpcdev_dev_t* dev_of(qp_cdev_i* cdev)
{
    return qpcdev_container(cdev, qpcdev_dev_t, vtbl);
}

static void qpcdev_dev_v_retain(qp_cdev_i* cdev)
{
    count_retain(&dev_of(cdev)->vtbl_ref_count, "dev->vtbl_ref_count > 0");
}

static void qpcdev_dev_v_release(qp_cdev_i* cdev)
{
    qpcdev_dev_t* dev = dev_of(cdev);
    if (!count_release(&dev->vtbl_ref_count, "dev->vtbl_ref_count > 0"))
        qpcdev_dev_release(dev);
}

static void qpcdev_dev_v_cancel(qp_cdev_i* cdev)
{
    qpcdev_dev_cancel(dev_of(cdev));
}

static const qp_cdev_i_vtbl_t qpcdev_dev_vtbl = {
    qpcdev_dev_v_retain,
    qpcdev_dev_v_release,
    qpcdev_dev_v_cancel,
};

void qpcdev_dev_retain(qpcdev_dev_t* dev)
{
    count_retain(&dev->ref_count, "dev->ref_count > 0");
}

static void dev_unlink(qpcdev_dev_t* dev)
{
    qpcdev_dev_t** link;

    QP_ASSERT(sync_is_locked(&g_qpcdev_lock));
    for (link = &g_qpcdev_first; *link; link = &(*link)->next) {
        if (*link == dev) {
            *link = dev->next;
            dev->next = 0;
            return;
        }
    }
}

void qpcdev_dev_release(qpcdev_dev_t* dev)
{
    int left;

    if (count_release_above_one(&dev->ref_count, "dev->ref_count > 0"))
        return;
    sync_lock(&g_qpcdev_lock);
    left = count_release(&dev->ref_count, "dev->ref_count > 0");
    if (!left)
        dev_unlink(dev);
    sync_unlock(&g_qpcdev_lock);
    if (left)
        return;
    qpcdev_dev_cancel(dev);
    QP_ASSERT(!dev->sock_count);
    qpcdev_plat_unregister(dev);
    mp_t_term(&dev->mp);
    sync_term(&dev->lock);
    free_d(dev);
}

/* Fires the terminate pins of the device's requests in flight (pin
 * handlers do not block, so they may run under the list's lock). */
static void inflight_terminate(qpcdev_dev_t* dev)
{
    qpcdev_inflight_t* inflight;

    sync_lock(&g_qpcdev_lock);
    for (inflight = g_qpcdev_inflight; inflight; inflight = inflight->next) {
        if (inflight->dev == dev)
            pin_i_signal(inflight->terminate_pin);
    }
    sync_unlock(&g_qpcdev_lock);
}

/* A request links itself before it looks for the owner, and cancel takes
 * the owner out before it walks the list: a request either finds no owner
 * or is on the list when the walk comes. */
static void inflight_link(qpcdev_inflight_t* inflight, qpcdev_dev_t* dev, pin_i* terminate_pin)
{
    inflight->dev = dev;
    inflight->terminate_pin = terminate_pin;
    sync_lock(&g_qpcdev_lock);
    inflight->next = g_qpcdev_inflight;
    g_qpcdev_inflight = inflight;
    sync_unlock(&g_qpcdev_lock);
}

static void inflight_unlink(qpcdev_inflight_t* inflight)
{
    qpcdev_inflight_t** link;

    sync_lock(&g_qpcdev_lock);
    for (link = &g_qpcdev_inflight; *link != inflight; link = &(*link)->next)
        QP_ASSERT(*link);
    *link = inflight->next;
    sync_unlock(&g_qpcdev_lock);
}

void qpcdev_dev_cancel(qpcdev_dev_t* dev)
{
    qp_cdev_owner_i* owner;

    sync_lock(&dev->lock);
    owner = dev->owner;
    dev->owner = 0;
    sync_unlock(&dev->lock);
    if (owner)
        (*owner)->release(owner);
    inflight_terminate(dev);
}

qpcdev_dev_t* qpcdev_dev_retain_by_number(uint32_t dev_number)
{
    qpcdev_dev_t* dev;

    sync_lock(&g_qpcdev_lock);
    for (dev = g_qpcdev_first; dev; dev = dev->next) {
        if (dev->dev_number == dev_number) {
            qpcdev_dev_retain(dev);
            break;
        }
    }
    sync_unlock(&g_qpcdev_lock);
    return dev;
}

qp_cdev_owner_i* qpcdev_dev_owner_retain(qpcdev_dev_t* dev)
{
    qp_cdev_owner_i* owner;

    sync_lock(&dev->lock);
    owner = dev->owner;
    if (owner)
        (*owner)->retain(owner);
    sync_unlock(&dev->lock);
    return owner;
}

int qp_cdev_factory(qp_cdev_i** out_cdev, qp_cdev_owner_i* owner, const char* end_name)
{
    qpcdev_dev_t* dev;
    int err;

    *out_cdev = 0;
    dev = (qpcdev_dev_t*)calloc_d(1, sizeof *dev);
    if (!dev)
        return err_no_mem;
    dev->vtbl = &qpcdev_dev_vtbl;
    mp_t_init(&dev->mp);
    dev->dev_name = ss8cpymn(mp_t_ma(&dev->mp), end_name, (size_t)-1);
    dev->dev_major = -1;
    sync_init(&dev->lock);
    (*owner)->retain(owner);
    dev->owner = owner;
    dev->ref_count = 1;
    dev->vtbl_ref_count = 1;
    if (!dev->dev_name) {
        qpcdev_dev_release(dev);
        return err_no_mem;
    }
    err = qpcdev_plat_register(dev);
    if (err) {
        qpcdev_dev_release(dev);
        return err;
    }
    *out_cdev = &dev->vtbl;
    return 0;
}

/* Links a device whose number is known, before its node appears. */
void qpcdev_dev_link(qpcdev_dev_t* dev)
{
    sync_lock(&g_qpcdev_lock);
    dev->next = g_qpcdev_first;
    g_qpcdev_first = dev;
    sync_unlock(&g_qpcdev_lock);
}

/* ---- per-file objects ------------------------------------------------------------ */

static qpcdev_sock_t* sock_of(qpso_socket_owner_i* so)
{
    return qpcdev_container(so, qpcdev_sock_t, vtbl);
}

static void qpcdev_sock_v_retain(qpso_socket_owner_i* so)
{
    count_retain(&sock_of(so)->vtbl_ref_count, "so->vtbl_ref_count > 0");
    qpcdev_sock_retain(sock_of(so));
}

static void qpcdev_sock_v_release(qpso_socket_owner_i* so)
{
    qpcdev_sock_t* sock = sock_of(so);
    count_release(&sock->vtbl_ref_count, "so->vtbl_ref_count > 0");
    qpcdev_sock_release(sock);
}

static void qpcdev_sock_v_release_socket(qpso_socket_owner_i* so)
{
    qpcdev_sock_cancel(sock_of(so));
}

static void qpcdev_sock_v_set_socket(qpso_socket_owner_i* so, qpso_socket_i* base)
{
    qpcdev_sock_t* sock = sock_of(so);
    qpso_socket_i* old;

    if (base)
        (*base)->retain(base);
    sync_lock(&sock->lock);
    old = sock->base;
    sock->base = base;
    sync_unlock(&sock->lock);
    if (old)
        (*old)->release(old);
}

/* Readiness belongs to the socket framework; a plain file has none. */
static void qpcdev_sock_v_check_ready(qpso_socket_owner_i* so)
{
    (void)so;
}

static const qpso_socket_owner_i_vtbl_t qpcdev_sock_vtbl = {
    qpcdev_sock_v_retain,
    qpcdev_sock_v_release,
    qpcdev_sock_v_release_socket,
    qpcdev_sock_v_set_socket,
    qpcdev_sock_v_check_ready,
    qpcdev_sock_v_check_ready,
};

void qpcdev_sock_retain(qpcdev_sock_t* so)
{
    count_retain(&so->ref_count, "so->ref_count > 0");
}

void qpcdev_sock_release(qpcdev_sock_t* so)
{
    qpcdev_dev_t* dev = so->dev;

    if (count_release(&so->ref_count, "so->ref_count > 0"))
        return;
    QP_ASSERT(!so->vtbl_ref_count);
    QP_ASSERT(!so->vn && !so->file);
    QP_ASSERT(!so->base);
    sync_term(&so->lock);
    free_d(so);
    if (!count_release(&dev->sock_count, "dev->sock_count > 0"))
        qpcdev_dev_release(dev);
}

/* Takes the attached socket out and tells it its file is gone. */
void qpcdev_sock_cancel(qpcdev_sock_t* so)
{
    qpso_socket_i* base;

    sync_lock(&so->lock);
    base = so->base;
    so->base = 0;
    sync_unlock(&so->lock);
    if (base) {
        (*base)->release_owner(base);
        (*base)->release(base);
    }
}

qpso_socket_i* qpcdev_sock_base_retain(qpcdev_sock_t* so)
{
    qpso_socket_i* base;

    sync_lock(&so->lock);
    base = so->base;
    if (base)
        (*base)->retain(base);
    sync_unlock(&so->lock);
    return base;
}

/* ---- open and release --------------------------------------------------------------- */

static qpcdev_sock_t* sock_create(qpcdev_dev_t* dev)
{
    qpcdev_sock_t* so = (qpcdev_sock_t*)calloc_d(1, sizeof *so);

    if (!so)
        return 0;
    so->vtbl = &qpcdev_sock_vtbl;
    sync_init(&so->lock);
    if (sync_inc(&dev->sock_count) == 1)
        qpcdev_dev_retain(dev);
    so->dev = dev;
    so->ref_count = 2;
    so->vtbl_ref_count = 1;
    return so;
}

int qpcdev_open(uint32_t dev_number, void* vn, void* file, qpcdev_sock_t** out_so)
{
    qpcdev_dev_t* dev = qpcdev_dev_retain_by_number(dev_number);
    qp_cdev_owner_i* owner;
    qpcdev_sock_t* so;
    int err;

    *out_so = 0;
    /* A node made by hand for a number no device has. */
    if (!dev)
        return err_broken_pipe;
    owner = qpcdev_dev_owner_retain(dev);
    if (!owner) {
        qpcdev_dev_release(dev);
        return err_broken_pipe;
    }
    so = sock_create(dev);
    if (!so) {
        err = err_no_mem;
    } else {
        err = (*owner)->open(owner, &so->vtbl);
        qpcdev_sock_v_release(&so->vtbl);
        if (!err) {
            qpcdev_sock_retain(so);
            so->vn = vn;
            so->file = file;
            *out_so = so;
        }
        qpcdev_sock_release(so);
    }
    (*owner)->release(owner);
    qpcdev_dev_release(dev);
    return err;
}

void qpcdev_release_file(qpcdev_sock_t* so, void* vn, void* file)
{
    QP_ASSERT(so->vn == vn);
    QP_ASSERT(so->file == file);
    so->vn = 0;
    so->file = 0;
    qpcdev_sock_cancel(so);
    qpcdev_sock_release(so);
}

/* ---- requests ------------------------------------------------------------------------- */

/* Whom a request goes to: the file's socket, else the device's owner. */
typedef struct qpcdev_target_t {
    qpso_socket_i* base;
    qp_cdev_owner_i* owner;
} qpcdev_target_t;

static void target_retain(qpcdev_target_t* target, qpcdev_dev_t* dev, qpcdev_sock_t* so)
{
    target->base = so ? qpcdev_sock_base_retain(so) : 0;
    target->owner = target->base ? 0 : qpcdev_dev_owner_retain(dev);
}

static void target_release(qpcdev_target_t* target)
{
    if (target->base)
        (*target->base)->release(target->base);
    if (target->owner)
        (*target->owner)->release(target->owner);
}

int qp_cdev_control_get_interface(qp_cdev_owner_i* owner, int kernel_client, const void* input,
                                  size_t input_size, void* output, size_t max_output_size,
                                  size_t* output_size)
{
    qp_interface_version_t version;
    int err;

    *output_size = 0;
    if (input_size < sizeof version || max_output_size < sizeof version)
        return err_bad_parameter;
    memset(&version, 0, sizeof version);
    memcpy(version.interface_id, ((const qp_interface_version_t*)input)->interface_id,
           sizeof version.interface_id - 1);
    err = (*owner)->get_interface(owner, kernel_client, &version);
    if (err)
        return err;
    memcpy(output, &version, sizeof version);
    *output_size = sizeof version;
    return 0;
}

int qp_cdev_default_get_interface(qp_cdev_owner_i* owner, int kernel_client,
                                  qp_interface_version_t* version)
{
    (void)owner;
    (void)kernel_client;
    (void)version;
    QP_ASSERT(0);
    return err_bad_parameter;
}

int qp_cdev_default_control(qp_cdev_owner_i* owner, pin_i* interrupt_pin, pin_i* terminate_pin,
                            int kernel_client, int code, const void* input, size_t input_size,
                            void* output, size_t max_output_size, size_t* output_size)
{
    (void)owner;
    (void)interrupt_pin;
    (void)terminate_pin;
    (void)kernel_client;
    (void)code;
    (void)input;
    (void)input_size;
    (void)output;
    (void)max_output_size;
    (void)output_size;
    QP_ASSERT(0);
    return err_bad_parameter;
}

static int request_get_interface(const qpcdev_target_t* target, int kernel_client,
                                 qp_interface_version_t* version)
{
    size_t output_size;

    if (target->base) {
        version->interface_id[sizeof version->interface_id - 1] = 0;
        return (*target->base)->get_interface(target->base, kernel_client, version);
    }
    if (target->owner)
        return qp_cdev_control_get_interface(target->owner, kernel_client, version,
                                             sizeof *version, version, sizeof *version,
                                             &output_size);
    return err_broken_pipe;
}

/* Runs the control on `buffer` and stores its result in the request. */
static int request_run_control(const qpcdev_target_t* target, pin_i* interrupt_pin,
                               pin_i* terminate_pin, int kernel_client, qp_ioctl_req_t* req,
                               void* buffer)
{
    size_t output_size = 0;
    int err;

    if (target->base)
        err = (*target->base)->control(target->base, interrupt_pin, terminate_pin, kernel_client,
                                       req->code, buffer, req->input_size, buffer,
                                       req->max_output_size, &output_size);
    else
        err = (*target->owner)->control(target->owner, interrupt_pin, terminate_pin,
                                        kernel_client, req->code, buffer, req->input_size, buffer,
                                        req->max_output_size, &output_size);
    QP_ASSERT(!err || !output_size);
    QP_ASSERT(output_size <= req->max_output_size);
    req->err = err;
    req->output_size = (uint32_t)output_size;
    return err;
}

/* The request record came in; the answer is the record in every case. */
static int request_control(const qpcdev_target_t* target, pin_i* interrupt_pin,
                           pin_i* terminate_pin, int kernel_client, qp_ioctl_req_t* req)
{
    char stack_buffer[qp_ioctl_stack_buffer] __attribute__((aligned(8)));
    char* buffer = stack_buffer;
    size_t buffer_size;
    int err;

    req->output_size = 0;
    if (req->input_size > qp_ioctl_size_max || req->max_output_size > qp_ioctl_size_max) {
        req->err = err_bad_parameter;
        return err_bad_parameter;
    }
    buffer_size = req->input_size > req->max_output_size ? req->input_size : req->max_output_size;
    if (buffer_size > sizeof stack_buffer) {
        buffer = (char*)malloc_d(buffer_size);
        if (!buffer) {
            req->err = err_no_mem;
            return err_no_mem;
        }
    }
    if (req->input_size &&
        qpcdev_plat_copy_in(kernel_client, buffer, req->input, req->input_size)) {
        req->err = err_fault;
        err = err_fault;
    } else {
        err = request_run_control(target, interrupt_pin, terminate_pin, kernel_client, req,
                                  buffer);
        if (req->output_size &&
            qpcdev_plat_copy_out(kernel_client, req->output, buffer, req->output_size))
            err = err_fault;
    }
    if (buffer != stack_buffer)
        free_d(buffer);
    return err;
}

int qpcdev_request(qpcdev_dev_t* dev, qpcdev_sock_t* so, unsigned code, uint64_t in_data,
                   int kernel_client)
{
    union {
        qp_interface_version_t version;
        qp_ioctl_req_t req;
    } rr;
    qpcdev_target_t target;
    pin_t interrupt_pin, terminate_pin;
    pin_interrupt_wire_t interrupt_wire;
    qpcdev_inflight_t inflight;
    size_t answer_size = 0;
    int err;

    pin_init(&interrupt_pin);
    pin_init(&terminate_pin);
    inflight_link(&inflight, dev, &terminate_pin.vtbl);
    target_retain(&target, dev, so);
    pin_interrupt_wire_attach(&interrupt_wire, &interrupt_pin.vtbl);

    switch (code) {
    case QP_IOCTL_GET_INTERFACE:
        if (qpcdev_plat_copy_in(kernel_client, &rr.version, in_data, sizeof rr.version)) {
            err = err_fault;
            break;
        }
        err = request_get_interface(&target, kernel_client, &rr.version);
        if (!err)
            answer_size = sizeof rr.version;
        break;
    case QP_IOCTL_CONTROL:
        if (qpcdev_plat_copy_in(kernel_client, &rr.req, in_data, sizeof rr.req)) {
            err = err_fault;
            break;
        }
        if (!target.base && !target.owner) {
            err = err_broken_pipe;
            break;
        }
        err = request_control(&target, &interrupt_pin.vtbl, &terminate_pin.vtbl, kernel_client,
                              &rr.req);
        answer_size = sizeof rr.req;
        break;
    default:
        err = err_not_implemented;
        break;
    }
    QP_ASSERT(answer_size <= sizeof(rr));
    if (answer_size && qpcdev_plat_copy_out(kernel_client, in_data, &rr, answer_size))
        err = err_fault;
    if (err == err_cancelled && pin_poll(&interrupt_pin))
        err = err_interrupt;

    pin_interrupt_wire_detach(&interrupt_wire);
    target_release(&target);
    inflight_unlink(&inflight);
    pin_term(&terminate_pin);
    pin_term(&interrupt_pin);
    return err;
}

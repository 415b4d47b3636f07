/*
 * qpcdev.h - the generic character device of kernel components. Kernel
 * build only.
 *
 * A kernel component (the owner, qp_cdev_owner_i) calls qp_cdev_factory to
 * get the node /dev/<name> (mode 0666). Every open of the node becomes a
 * per-file object (qpcdev_sock_t, seen as qpso_socket_owner_i) that the
 * owner is told about and to which it may attach a socket (qpso_socket_i).
 * The device's two ioctls (qpioctl.h) reach the attached socket, or else the
 * owner: an interface query (get_interface) and control requests (control),
 * each with an interrupt pin that a signal to the calling thread fires and a
 * terminate pin. Callers get the errors negated, as the kernel wants.
 *
 *   static const qp_cdev_owner_i_vtbl_t my_owner_vtbl = {...};
 *   qp_cdev_i* dev;
 *   err = qp_cdev_factory(&dev, &my_owner.vtbl, "mydev");
 *   ...
 *   (*dev)->cancel(dev);   requests and opens now fail with 32
 *   (*dev)->release(dev);  the node goes with the last reference
 *
 * Contexts: the retain slots of owners and sockets run under the
 * framework's spin locks and must not sleep; every other slot runs in the
 * calling thread without a framework lock and may sleep (a control waits on
 * its pins).
 *
 * Owners implement every slot; qp_cdev_default_get_interface and
 * qp_cdev_default_control stand for slots an owner must override. An owner
 * decides what a user-mode caller may see: `direct` is meant for kernel
 * clients only.
 */
#ifndef QPCDEV_H
#define QPCDEV_H

#include "qpbase.h"
#include "qppin.h"
#include "qperr.h"
#include "qpioctl.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qpso_socket_owner_i_vtbl_t qpso_socket_owner_i_vtbl_t;
typedef const qpso_socket_owner_i_vtbl_t* qpso_socket_owner_i;
typedef struct qpso_socket_i_vtbl_t qpso_socket_i_vtbl_t;
typedef const qpso_socket_i_vtbl_t* qpso_socket_i;
typedef struct qp_cdev_owner_i_vtbl_t qp_cdev_owner_i_vtbl_t;
typedef const qp_cdev_owner_i_vtbl_t* qp_cdev_owner_i;
typedef struct qp_cdev_i_vtbl_t qp_cdev_i_vtbl_t;
typedef const qp_cdev_i_vtbl_t* qp_cdev_i;

/* Control requests: the input and the output share one buffer of
 * max(input_size, max_output_size) bytes; the produced size goes to
 * *output_size, which stays 0 on failure. */

/* Implemented by the owner of a device. */
struct qp_cdev_owner_i_vtbl_t {
    void (*retain)(qp_cdev_owner_i* owner);
    void (*release)(qp_cdev_owner_i* owner);
    /* A new open file; the owner may attach a socket to it. */
    int (*open)(qp_cdev_owner_i* owner, qpso_socket_owner_i* so);
    /* Fills the record for version->interface_id (all else is 0 on entry). */
    int (*get_interface)(qp_cdev_owner_i* owner, int kernel_client,
                         qp_interface_version_t* version);
    int (*control)(qp_cdev_owner_i* owner, pin_i* interrupt_pin, pin_i* terminate_pin,
                   int kernel_client, int code, const void* input, size_t input_size, void* output,
                   size_t max_output_size, size_t* output_size);
};

/* The device as its owner sees it. */
struct qp_cdev_i_vtbl_t {
    void (*retain)(qp_cdev_i* dev);
    void (*release)(qp_cdev_i* dev);
    /* Cuts the owner off: later opens and requests fail with 32, and the
     * terminate pins of the requests in flight fire. */
    void (*cancel)(qp_cdev_i* dev);
};

/* The per-file object as a socket sees it. */
struct qpso_socket_owner_i_vtbl_t {
    void (*retain)(qpso_socket_owner_i* so);
    void (*release)(qpso_socket_owner_i* so);
    /* Detaches the socket on its own initiative. */
    void (*release_socket)(qpso_socket_owner_i* so);
    /* Attaches base (retained) in place of the current socket. */
    void (*set_socket)(qpso_socket_owner_i* so, qpso_socket_i* base);
    void (*check_recv_ready)(qpso_socket_owner_i* so);
    void (*check_send_ready)(qpso_socket_owner_i* so);
};

/* A socket attached to an open file; the framework uses these slots, the
 * socket framework adds its own behind them. */
struct qpso_socket_i_vtbl_t {
    void (*retain)(qpso_socket_i* base);
    void (*release)(qpso_socket_i* base);
    /* The file it was attached to is gone. */
    void (*release_owner)(qpso_socket_i* base);
    int (*get_interface)(qpso_socket_i* base, int kernel_client, qp_interface_version_t* version);
    int (*control)(qpso_socket_i* base, pin_i* interrupt_pin, pin_i* terminate_pin,
                   int kernel_client, int code, const void* input, size_t input_size, void* output,
                   size_t max_output_size, size_t* output_size);
};

/* One device. */
typedef struct qpcdev_dev_t {
    qp_cdev_i vtbl;
    void* base; /* struct device*, or null */
    struct qpcdev_dev_t* next;
    qp_mp_t mp; /* holds dev_name */
    const char* dev_name;
    void* dev_class; /* struct class*, or null */
    int dev_major;   /* -1 until registered, 0 after a failed registration */
    int dev_minor;
    uint32_t dev_number; /* major << 20 | minor */
    sync_t lock;         /* owner */
    qp_cdev_owner_i* owner; /* null once cancelled */
    int ref_count;
    int vtbl_ref_count;
    int sock_count;
} qpcdev_dev_t;

/* One open file. */
typedef struct qpcdev_sock_t {
    qpso_socket_owner_i vtbl;
    qpcdev_dev_t* dev;
    void* vn;   /* struct inode*, null once released */
    void* file; /* struct file*, null once released */
    sync_t lock; /* base */
    qpso_socket_i* base;
    int ref_count;
    int vtbl_ref_count;
} qpcdev_sock_t;

int qp_cdev_factory(qp_cdev_i** out_cdev, qp_cdev_owner_i* owner, const char* end_name);

/* For owners: answers an interface query through owner->get_interface
 * (input and output are 112-byte records). */
int qp_cdev_control_get_interface(qp_cdev_owner_i* owner, int kernel_client, const void* input,
                                  size_t input_size, void* output, size_t max_output_size,
                                  size_t* output_size);
/* Stand-ins for slots an owner must override: assertion failures. */
int qp_cdev_default_get_interface(qp_cdev_owner_i* owner, int kernel_client,
                                  qp_interface_version_t* version);
int qp_cdev_default_control(qp_cdev_owner_i* owner, pin_i* interrupt_pin, pin_i* terminate_pin,
                            int kernel_client, int code, const void* input, size_t input_size,
                            void* output, size_t max_output_size, size_t* output_size);

/* Reference operations. */
void qpcdev_dev_retain(qpcdev_dev_t* dev);
void qpcdev_dev_release(qpcdev_dev_t* dev);
void qpcdev_dev_cancel(qpcdev_dev_t* dev);
/* The device whose node has this number (retained), or null. */
qpcdev_dev_t* qpcdev_dev_retain_by_number(uint32_t dev_number);
/* The owner (retained), or null once cancelled. */
qp_cdev_owner_i* qpcdev_dev_owner_retain(qpcdev_dev_t* dev);
void qpcdev_sock_retain(qpcdev_sock_t* so);
void qpcdev_sock_release(qpcdev_sock_t* so);
void qpcdev_sock_cancel(qpcdev_sock_t* so);
/* The attached socket (retained), or null. */
qpso_socket_i* qpcdev_sock_base_retain(qpcdev_sock_t* so);

/* The file side, called by the platform's file operations with positive
 * error results. */
int qpcdev_open(uint32_t dev_number, void* vn, void* file, qpcdev_sock_t** out_so);
void qpcdev_release_file(qpcdev_sock_t* so, void* vn, void* file);
/* Serves one ioctl of a file (so) or of the device directly (so null). In
 * data is the record's address: user memory, or kernel memory for a kernel
 * client. */
int qpcdev_request(qpcdev_dev_t* dev, qpcdev_sock_t* so, unsigned code, uint64_t in_data,
                   int kernel_client);

#ifdef __cplusplus
}
#endif

#endif

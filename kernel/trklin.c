/*
 * trklin.c - the trace driver module qptrace: load and unload, the device
 * /dev/qptrace and its two ioctls (wire format in traceio.h).
 *
 * The module owns the trace anchor and every channel (the trace core) and
 * serves them to all processes. A send request carries one trace API call:
 * the driver copies the 48-byte request and the input into one buffer (128
 * bytes on the stack, the debug heap above that), lets TraceReceive run the
 * call with that buffer as input and output, and copies the output and the
 * request back. Every size a caller sends is checked before it is used:
 * sizes above TRACEIO_MAX_REQUEST_SIZE fail with 22, smaller ones are cut to
 * what the function can ever use (traceio_limits), so no request makes the
 * kernel allocate more than about a megabyte.
 *
 * Locks: none here. Requests run in the caller's context without a lock
 * around the ioctl (the channel locks of the trace core serialise them);
 * copies from and to user memory happen outside those locks, on the
 * driver's own buffer. Load and unload are serialised by the kernel against
 * each other and against requests (an open file holds the module).
 *
 * Waiting readers sleep on one wait queue per channel slot (traceWaiters),
 * interruptibly and for at most their timeout; writers that ended a line
 * and resets wake them (TraceHostWait and TraceHostWake, called by the
 * trace core without its locks). A read-lines request copies its lines
 * under the channel lock into the driver's own buffer (at most
 * TRACEIO_MAX_BATCH bytes), and from there to the caller after the lock.
 *
 * Kernel clients (trimpklin) find the driver's export table through the
 * file they opened: open points each file's private data at it. Nothing
 * else is kept per file.
 */
#include "linuxkernel.h"
#include "qpbase.h"
#include "traces.h"
#include "traceio.h"

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Trace Driver - Velkor Trace Tool");
MODULE_AUTHOR("The qptrace developers");

_Static_assert(sizeof(GenIoctlRequest) == TRACEIO_REQUEST_SIZE, "request record is 48 bytes");
_Static_assert(sizeof(TRACEIOGETVERSIONRESULTS) == 32, "version answer is 32 bytes");

static const char tracesDevName[] = "qptrace";
static int tracesDevMajor = -1; /* 0 after a failed registration */
static u32 tracesDevNumber;
static struct class* tracesDevClass;
static struct device* tracesDevice;
static int tracesExited;
static wait_queue_head_t traceWaiters[TRACEANCHOR_MAXCHANNELS];

/* ---- request sizes --------------------------------------------------- */

/* The most a function can use of its input and produce as output. Longer
 * input is cut; cutting keeps a text terminated (text_unit bytes of zeros at
 * the cut). For a terminated text that changes nothing the function would
 * have done, since the limits lie beyond the longest name or line the trace
 * core keeps; a text without any terminator, which the function would have
 * refused, is taken as if it ended at the cut (the rest of the caller's
 * bytes, up to the size limit, are never read). */
typedef struct traceio_limit_t {
    uint32_t max_input;
    uint32_t max_output;
    uint32_t text_unit; /* 1 UTF-8, 4 wide, 0 no text */
} traceio_limit_t;

enum {
    traceio_max_name = TRACEANCHOR_NAMESSIZE + 1,
    traceio_max_text = TRACEBUFFER_MAXWRITE + 1,
    traceio_max_line = TRACEBUFFER_DATASIZE + TRACETIMESTAMPLEN + 1
};

static const traceio_limit_t traceio_limits[] = {
    [TRACEIOGETVERSION] = {0, TRACEIO_VERSION_MAX_ANSWER, 0},
    [TRACEIOOPEN] = {traceio_max_name, 8, 1},
    [TRACEIOOPENW] = {traceio_max_name * 4, 8, 4},
    [TRACEIODUP] = {8, 8, 0},
    [TRACEIOCLOSE] = {8, 0, 0},
    [TRACEIOLISTW] = {0, traceio_max_name * 4, 0},
    [TRACEIOINFO] = {8, 24, 0},
    [TRACEIOREADW] = {16, traceio_max_line * 4, 0},
    [TRACEIOPRINT] = {8 + traceio_max_text, 0, 1},
    [TRACEIOPRINTW] = {8 + traceio_max_text * 4, 0, 4},
    [TRACEIODEFAULT] = {8, 0, 0},
    [TRACEIORESET] = {8, 0, 0},
    [TRACEIOLIST] = {0, traceio_max_name, 0},
    [TRACEIOREAD] = {16, traceio_max_line, 0},
    [TRACEIOWAIT] = {sizeof(TRACEIOWAITPARAMS), sizeof(TRACEIOWAITRESULTS), 0},
    [TRACEIOREADLINES] = {sizeof(TRACEIOREADLINESPARAMS), TRACEIO_MAX_BATCH, 0},
};
static const traceio_limit_t traceio_no_room = {0, 0, 0};

/* The crash request uses nothing; unknown codes get no room at all (and
 * TraceReceive refuses them). */
static const traceio_limit_t* traceio_limit(int code)
{
    if (code >= 0 && code < (int)ARRAY_SIZE(traceio_limits))
        return &traceio_limits[code];
    return &traceio_no_room;
}

/* ---- host callbacks of the trace core --------------------------------- */

/* Channel names come from callers: unprintable bytes are escaped so that a
 * name cannot forge log lines. Creations are bounded by the table size;
 * failures are not, so they are rate limited. */
void TraceNewChannel(const char* name, int created)
{
    int len;

    if (!name)
        name = "";
    len = (int)min_t(size_t, strlen(name), TRACEANCHOR_NAMESSIZE);
    if (created)
        printk(KERN_INFO "%s trace channel %*pE\n", "new", len, name);
    else
        printk_ratelimited(KERN_INFO "%s trace channel %*pE\n", "FAILED", len, name);
}

/* The device is open to every user: the crash request is acknowledged and
 * logged, never carried out. */
void TraceCrash(TRCLIENT client)
{
    (void)client;
    printk_ratelimited(KERN_NOTICE "qptrace: crash request from pid %d ignored\n",
                       task_pid_nr(current));
}

int TraceHostWait(size_t slot, int (*ready)(void* param), void* param, int msecs)
{
    long timeout, left;

    if (ready(param))
        return 0;
    if (!msecs)
        return ETIMEDOUT;
    timeout = msecs < 0 || msecs >= 0x7fffffff ? MAX_SCHEDULE_TIMEOUT
                                               : (long)msecs_to_jiffies(msecs);
    left = wait_event_interruptible_timeout(traceWaiters[slot], ready(param), timeout);
    if (left < 0)
        return EINTR;
    return left ? 0 : ETIMEDOUT;
}

/* No barrier of its own (waitqueue_active, not wq_has_sleeper): the trace
 * core calls this after the channel lock that the waiter's ready() also
 * takes, and a waiter queues itself before it takes that lock. A print
 * nobody waits for pays one load. */
void TraceHostWake(size_t slot)
{
    if (waitqueue_active(&traceWaiters[slot]))
        wake_up_interruptible_all(&traceWaiters[slot]);
}

/* ---- file operations ------------------------------------------------- */

static int TraceDevOpen(struct inode* inode, struct file* file)
{
    (void)inode;
    file->private_data = traceExports_;
    return 0;
}

static int TraceDevRelease(struct inode* inode, struct file* file)
{
    (void)inode;
    file->private_data = NULL;
    return 0;
}

static ssize_t TraceDevRead(struct file* file, char __user* data, size_t size, loff_t* pos)
{
    return -ENOTSUPP;
}

static ssize_t TraceDevWrite(struct file* file, const char __user* data, size_t size, loff_t* pos)
{
    return -ENOTSUPP;
}

/* A version answer carries a kernel address: only those who may read
 * kernel addresses get it, everyone else reads 0. */
static void traceio_hide_exports(void* answer, size_t answer_size)
{
    TRACEIOGETVERSIONRESULTS* results = (TRACEIOGETVERSIONRESULTS*)answer;

    if (answer_size >= offsetofend(TRACEIOGETVERSIONRESULTS, exports) &&
        !has_capability_noaudit(current, CAP_SYSLOG))
        results->exports = 0;
}

/* Returns a positive error number or 0. */
static int TraceDevVersion(void __user* answer_user, size_t data_size)
{
    union {
        TRACEIOGETVERSIONRESULTS results;
        char bytes[TRACEIO_VERSION_MAX_ANSWER];
    } answer;
    size_t output_size = 0;

    data_size = min_t(size_t, data_size, sizeof answer);
    memset(&answer, 0, sizeof answer);
    if (!TraceReceive(0, TRACEIOGETVERSION, NULL, 0, &answer, data_size, &output_size))
        return EINVAL;
    QP_ASSERT(output_size <= data_size);
    traceio_hide_exports(&answer, output_size);
    if (output_size && copy_to_user(answer_user, &answer, output_size))
        return EFAULT;
    return 0;
}

/* Runs one checked request on `buffer` (room for both sizes) and answers
 * it. Returns a positive error number or 0. */
static int TraceDevCall(GenIoctlRequest* request, GenIoctlRequest __user* request_user,
                        char* buffer, size_t input_size, size_t max_output_size, uint32_t text_unit)
{
    size_t output_size = 0;

    if (input_size && copy_from_user(buffer, (const void __user*)(uintptr_t)request->input,
                                     input_size))
        return EFAULT;
    if (text_unit && input_size < request->inputSize) {
        QP_ASSERT(input_size >= text_unit);
        memset(buffer + input_size - text_unit, 0, text_unit);
    }
    if (!TraceReceive(0, request->code, buffer, input_size, buffer, max_output_size,
                      &output_size))
        return EINVAL;
    QP_ASSERT(output_size <= max_output_size);
    if (request->code == TRACEIOGETVERSION)
        traceio_hide_exports(buffer, output_size);
    request->error = 0;
    request->outputSize = output_size;
    if (output_size &&
        copy_to_user((void __user*)(uintptr_t)request->output, buffer, output_size))
        return EFAULT;
    if (copy_to_user(request_user, request, sizeof *request))
        return EFAULT;
    return 0;
}

/* Returns a positive error number or 0. */
static int TraceDevSend(GenIoctlRequest __user* request_user, size_t request_size)
{
    GenIoctlRequest request;
    /* Wide texts are used in place: their units must be aligned. */
    char stack_buffer[TRACEIO_STACK_BUFFER] __aligned(8);
    char* buffer = stack_buffer;
    const traceio_limit_t* limit;
    size_t input_size, max_output_size, buffer_size;
    int err;

    if (request_size < sizeof request)
        return EINVAL;
    if (copy_from_user(&request, request_user, sizeof request))
        return EFAULT;
    if (request.inputSize > TRACEIO_MAX_REQUEST_SIZE ||
        request.maxOutputSize > TRACEIO_MAX_REQUEST_SIZE)
        return EINVAL;
    limit = traceio_limit(request.code);
    input_size = min_t(size_t, request.inputSize, limit->max_input);
    max_output_size = min_t(size_t, request.maxOutputSize, limit->max_output);
    buffer_size = max(input_size, max_output_size);
    if (buffer_size > sizeof stack_buffer) {
        buffer = malloc_d(buffer_size);
        if (!buffer)
            return ENOMEM;
    }
    err = TraceDevCall(&request, request_user, buffer, input_size, max_output_size,
                       limit->text_unit);
    if (buffer != stack_buffer)
        free_d(buffer);
    return err;
}

static long TraceDevIoctl(struct file* file, unsigned int cmd, unsigned long arg)
{
    void __user* argp = (void __user*)arg;
    (void)file;
    switch (cmd & TRACEIOCTL_MATCH_MASK) {
    case TRACEIOCTL_VERSION_MATCH:
        return -TraceDevVersion(argp, TRACEIOCTL_SIZE(cmd));
    case TRACEIOCTL_SEND_MATCH:
        return -TraceDevSend(argp, TRACEIOCTL_SIZE(cmd));
    default:
        return -ENOTSUPP;
    }
}

static const struct file_operations tracesDevDispatch = {
    .owner = THIS_MODULE,
    .read = TraceDevRead,
    .write = TraceDevWrite,
    .unlocked_ioctl = TraceDevIoctl,
    .open = TraceDevOpen,
    .release = TraceDevRelease,
};

/* The node is open to every user. */
static char* qptrace_devnode(QP_DEVNODE_DEVICE* dev, umode_t* mode)
{
    (void)dev;
    if (mode)
        *mode = 0666;
    return NULL;
}

/* ---- load and unload ------------------------------------------------- */

/* Also the end of a failed load; runs once. */
static void qptrace_teardown(void)
{
    if (tracesExited)
        return;
    if (tracesDevice) {
        device_destroy(tracesDevClass, MKDEV(tracesDevMajor, 0));
        tracesDevice = NULL;
    }
    if (tracesDevClass) {
        class_destroy(tracesDevClass);
        tracesDevClass = NULL;
    }
    if (tracesDevMajor > 0)
        __unregister_chrdev(tracesDevMajor, 0, 256, tracesDevName);
    module_finalize();
    tracesExited = 1;
}

/* Returns a positive error number or 0. */
static int qptrace_create_device(void)
{
    int major = __register_chrdev(0, 0, 256, tracesDevName, &tracesDevDispatch);
    struct class* dev_class;
    struct device* device;

    if (major < 0) {
        tracesDevMajor = 0;
        printk(KERN_ERR "Failed to register device %s error %d\n", tracesDevName, -major);
        return -major;
    }
    tracesDevMajor = major;
    tracesDevNumber = MKDEV(major, 0);
    dev_class = qp_class_create(tracesDevName);
    if (IS_ERR_OR_NULL(dev_class)) {
        printk(KERN_ERR "Failed to create device class %s\n", tracesDevName);
        return dev_class ? -PTR_ERR(dev_class) : ENOMEM;
    }
    tracesDevClass = dev_class;
    tracesDevClass->devnode = qptrace_devnode;
    device = device_create(tracesDevClass, NULL, tracesDevNumber, NULL, "%s", tracesDevName);
    if (IS_ERR_OR_NULL(device)) {
        printk(KERN_ERR "Failed to create device 0x%X %s\n", tracesDevNumber, tracesDevName);
        return device ? -PTR_ERR(device) : ENOMEM;
    }
    tracesDevice = device;
    return 0;
}

static int __init qptrace_init(void)
{
    int err;
    size_t slot;

    printk(KERN_INFO "qptrace loading ...\n");
    for (slot = 0; slot < ARRAY_SIZE(traceWaiters); slot++)
        init_waitqueue_head(&traceWaiters[slot]);
    err = module_initialize();
    if (!err) {
        trbuffer_initializer();
        err = qptrace_create_device();
    }
    if (err) {
        qptrace_teardown();
        return -err;
    }
    return 0;
}

static void __exit qptrace_exit(void)
{
    qptrace_teardown();
}

module_init(qptrace_init);
module_exit(qptrace_exit);

// qpexec.cpp - process objects: the object both kinds share (reference
// counts, environment table, current folder, standard descriptors,
// credentials, wait and exit code), the local kind that forks and executes
// the program itself, and the UTF-8 wrapper over either kind.
//
// Environment table. vars holds NAME=VALUE texts sorted by their name part
// (everything up to and including the first '=' from the second unit on, so
// that a leading '=' belongs to the name), compared unit by unit as
// unsigned values, and is null-terminated. An entry never has an empty
// value: setting one removes the name. Texts and tables come from the
// object's pool; a table that cannot grow marks the pool failed, which makes
// start fail with 12.
//
// Local start. start resolves the program and starts a waiter thread, which
// builds everything the child needs (UTF-8 path, vector, environment,
// folder, the fixed parts of the error messages), blocks every signal and
// forks. Between fork and execve the child calls only async-signal-safe
// functions: it resets caught signals to their default action, moves the
// three duplicates onto 0-2, closes every other descriptor, changes folder,
// starts a new session when asked, unblocks all signals and executes. A
// failure is written to its descriptor 1 as one "ERROR: ..." line and it
// ends with 127. The parent's waiter releases start once the fork is done,
// then waits for the child with cancellation enabled only inside the wait
// and the pause between existence probes (the thread is cancelled when the
// threads are collected at exit; its clean-up still signals exited and drops
// its reference).
//
// The waiter waits without reaping (WNOWAIT) and reaps under pid_lock, which
// terminate also takes: a child's number is never signalled after the child
// was reaped and the number may belong to another process.
#include "qpexecint.h"

#include "qperr.h"
#include "qpfile.h"
#include "sstring.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum {
    exec_child_message_max = 200, // characters of a child's error message
    exec_probe_pause_first_msecs = 50,
    exec_probe_pause_max_msecs = 1000,
    exec_fd_list_fallback_end = 2048,
};

// ---- object life ----------------------------------------------------------------

// Counts change under other threads (a waiter's last drop); checks read them
// atomically.
int exec_load_count(const int* count)
{
    return __atomic_load_n(count, __ATOMIC_ACQUIRE);
}

void exec_close_slot(int* slot)
{
    fd_close(*slot);
    *slot = -1;
}

// Overwrites the recorded password before its pool goes back to the heap.
void exec_wipe_password(exec_t* th)
{
    if (th->password) {
        volatile wchar_t* unit = th->password;
        while (*unit)
            *unit++ = 0;
    }
}

void exec_free(exec_t* th)
{
    exec_close_slot(&th->proxy_fd);
    exec_close_std_slots(th);
    exec_wipe_password(th);
    mp_t_term(&th->mp);
    pin_term(&th->cancelled);
    pin_term(&th->exited);
    sync_term(&th->pid_lock);
    free_d(th);
}

} // namespace

int exec_create(const fw_exec_i_vtbl_t* vtbl, fw_exec_i** out)
{
    exec_t* th = static_cast<exec_t*>(calloc_d(1, sizeof(exec_t)));
    *out = nullptr;
    if (!th)
        return err_no_mem;
    th->vtbl = vtbl;
    mp_t_init(&th->mp);
    pin_init(&th->cancelled);
    pin_init(&th->exited);
    pin_signal(&th->exited);
    th->ext_ref_count = 1;
    th->int_ref_count = 1;
    th->proxy_fd = th->input_fd = th->output_fd = th->error_fd = -1;
    sync_init(&th->pid_lock);
    *out = &th->vtbl;
    return 0;
}

void exec_record(exec_t* th, int err)
{
    if (!th->err)
        th->err = err;
}

void exec_int_retain(exec_t* th)
{
    sync_inc(&th->int_ref_count);
}

void exec_int_release(exec_t* th)
{
    if (sync_dec(&th->int_ref_count) == 0) {
        QP_ASSERT(!exec_load_count(&th->ext_ref_count));
        exec_free(th);
    }
}

void exec_retain(fw_exec_i* e)
{
    exec_t* th = exec_vcast(e);
    QP_ASSERT(exec_load_count(&th->ext_ref_count) && exec_load_count(&th->int_ref_count));
    sync_inc(&th->ext_ref_count);
}

void exec_release(fw_exec_i* e)
{
    exec_t* th = exec_vcast(e);
    QP_ASSERT(exec_load_count(&th->ext_ref_count) && exec_load_count(&th->int_ref_count));
    if (sync_dec(&th->ext_ref_count) == 0) {
        pin_signal(&th->cancelled);
        exec_int_release(th);
    }
}

// ---- flags, folder, descriptors, credentials -------------------------------------

void exec_set_no_console(fw_exec_i* e)
{
    exec_vcast(e)->no_console = true;
}

void exec_set_detached(fw_exec_i* e)
{
    exec_vcast(e)->detached = true;
}

void exec_set_current_folder(fw_exec_i* e, const wchar_t* folder)
{
    exec_t* th = exec_vcast(e);
    if (th->err)
        return;
    th->current_folder = nullptr;
    if (folder && *folder) {
        th->current_folder = fw_path_complete(mp_t_ma(&th->mp), nullptr, folder);
        if (!th->current_folder)
            exec_record(th, err_bad_parameter);
    }
}

namespace {

// Keeps a private duplicate (above 2, close-on-exec) of fd in the slot. A
// failed duplicate of the slot's own standard descriptor (a program started
// with it closed) leaves the slot empty without an error.
void exec_set_slot(exec_t* th, int* slot, int fd, int std_fd)
{
    if (th->err || fd == -1)
        return;
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int err = copy < 0 ? errno : 0;
    exec_close_slot(slot);
    if (err) {
        if (fd != std_fd)
            exec_record(th, err);
        return;
    }
    debugheap_handlealloced(reinterpret_cast<void*>(static_cast<intptr_t>(copy)), __FILE__,
                            __LINE__);
    *slot = copy;
}

} // namespace

void exec_set_input(fw_exec_i* e, int fd)
{
    exec_t* th = exec_vcast(e);
    exec_set_slot(th, &th->input_fd, fd, STDIN_FILENO);
}

void exec_set_output(fw_exec_i* e, int fd)
{
    exec_t* th = exec_vcast(e);
    exec_set_slot(th, &th->output_fd, fd, STDOUT_FILENO);
}

void exec_set_error(fw_exec_i* e, int fd)
{
    exec_t* th = exec_vcast(e);
    exec_set_slot(th, &th->error_fd, fd, STDERR_FILENO);
}

// Opens every empty standard slot on the null device.
static int exec_fill_std_slots(exec_t* th)
{
    int* slots[] = {&th->input_fd, &th->output_fd, &th->error_fd};
    for (int* slot : slots) {
        if (*slot == -1) {
            int err = f8_open(slot, "/dev/null", fof_read_data | fof_write_data);
            if (err)
                return err;
        }
    }
    return 0;
}

void exec_close_std_slots(exec_t* th)
{
    exec_close_slot(&th->input_fd);
    exec_close_slot(&th->output_fd);
    exec_close_slot(&th->error_fd);
}

namespace {

// Splits a user text at the first separator: before it goes to *first,
// after it to *second.
void exec_split_user(malloc_i* ma, const wchar_t* user, const wchar_t* sep, wchar_t** first,
                     wchar_t** second)
{
    *first = sswcpymn(ma, user, static_cast<size_t>(sep - user));
    *second = sswcpym(ma, sep + 1);
}

void exec_set_creds(fw_exec_i* e, const wchar_t* user, const wchar_t* password)
{
    exec_t* th = exec_vcast(e);
    malloc_i* ma = mp_t_ma(&th->mp);
    if (th->err)
        return;
    exec_wipe_password(th);
    th->domain = th->user = th->password = nullptr;
    if (!user || !*user) {
        if (password && *password)
            exec_record(th, err_bad_parameter);
        return;
    }
    if (const wchar_t* backslash = sswchrc(user, '\\'))
        exec_split_user(ma, user, backslash, &th->domain, &th->user);
    else if (const wchar_t* slash = sswchrc(user, '/'))
        exec_split_user(ma, user, slash, &th->domain, &th->user);
    else if (const wchar_t* at = sswchrc(user, '@'))
        exec_split_user(ma, user, at, &th->user, &th->domain);
    else {
        th->user = sswcpym(ma, user);
        th->domain = sswcpym(ma, proc_get_machine());
    }
    th->password = sswcpym(ma, password);
}

// ---- environment table -------------------------------------------------------------

// Length of an entry's name part (up to and including the first '=' from the
// second unit on); 0 when the text has none and so is no entry.
size_t env_name_len(const wchar_t* entry)
{
    const wchar_t* eq = entry[0] ? sswchrc(entry + 1, '=') : nullptr;
    return eq ? static_cast<size_t>(eq - entry) + 1 : 0;
}

// Name parts compared unit by unit as unsigned values: -1, 0, 1.
int env_name_cmp(const wchar_t* a, size_t len_a, const wchar_t* b, size_t len_b)
{
    size_t common = len_a < len_b ? len_a : len_b;
    for (size_t i = 0; i < common; i++) {
        uint32_t ua = static_cast<uint32_t>(a[i]), ub = static_cast<uint32_t>(b[i]);
        if (ua != ub)
            return ua < ub ? -1 : 1;
    }
    return len_a == len_b ? 0 : (len_a < len_b ? -1 : 1);
}

// Index of the first entry whose name is not below the given name.
size_t env_lower_bound(const exec_t* th, const wchar_t* name, size_t name_len)
{
    size_t low = 0, high = th->var_count;
    while (low < high) {
        size_t mid = low + (high - low) / 2;
        const wchar_t* entry = th->vars[mid];
        if (env_name_cmp(entry, env_name_len(entry), name, name_len) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// Room for one more entry and the terminator: grows to count + count/2 + 5.
bool env_reserve(exec_t* th)
{
    if (th->vars && th->var_count + 1 < th->max_var_count)
        return true;
    size_t new_max = th->var_count + th->var_count / 2 + 5;
    wchar_t** table =
        static_cast<wchar_t**>(ma_alloc(mp_t_ma(&th->mp), new_max * sizeof(wchar_t*)));
    if (!table) {
        mp_t_inc_err_count(&th->mp);
        return false;
    }
    if (th->vars)
        memcpy(table, th->vars, th->var_count * sizeof(wchar_t*));
    th->vars = table;
    th->max_var_count = new_max;
    return true;
}

// Puts an entry of the pool into the table: an equal name is replaced, or
// removed when the entry's value is empty; an empty value never creates an
// entry; a text without a name part is dropped.
void env_insert(exec_t* th, wchar_t* text)
{
    size_t name_len = env_name_len(text);
    bool empty_value = text[name_len] == 0;
    if (!name_len || !env_reserve(th))
        return;
    size_t at = env_lower_bound(th, text, name_len);
    bool found = at < th->var_count &&
                 env_name_cmp(th->vars[at], env_name_len(th->vars[at]), text, name_len) == 0;
    if (found && empty_value) {
        memmove(&th->vars[at], &th->vars[at + 1], (th->var_count - at) * sizeof(wchar_t*));
        th->var_count--;
    } else if (found) {
        th->vars[at] = text;
    } else if (!empty_value) {
        memmove(&th->vars[at + 1], &th->vars[at], (th->var_count - at + 1) * sizeof(wchar_t*));
        th->vars[at] = text;
        th->var_count++;
    }
    th->vars[th->var_count] = nullptr;
}

// Marks the pool failed when text is null, else inserts it.
void env_insert_made(exec_t* th, wchar_t* text)
{
    if (text)
        env_insert(th, text);
    else
        mp_t_inc_err_count(&th->mp);
}

// Puts the name alone when it holds '=' after its first unit, else name,
// '=', value.
void env_put(exec_t* th, const wchar_t* name, const wchar_t* value)
{
    if (!name || !*name)
        return;
    malloc_i* ma = mp_t_ma(&th->mp);
    if (sswchrc(name + 1, '=')) {
        env_insert_made(th, sswcpym(ma, name));
        return;
    }
    size_t name_len = sswlen(name), value_len = sswlen(value);
    wchar_t* text =
        static_cast<wchar_t*>(ma_alloc(ma, (name_len + 1 + value_len + 1) * sizeof(wchar_t)));
    if (text) {
        memcpy(text, name, name_len * sizeof(wchar_t));
        text[name_len] = '=';
        memcpy(text + name_len + 1, sswfix(value), value_len * sizeof(wchar_t));
    }
    env_insert_made(th, text);
}

void env_clear(exec_t* th)
{
    th->var_count = 0;
    if (env_reserve(th))
        th->vars[0] = nullptr;
}

// The first change of a table that was never set starts from the process
// environment as it is now (environ), so that variables the program set
// before the start reach the child.
void env_fill_from_process(exec_t* th)
{
    if (th->vars)
        return;
    env_clear(th);
    for (char** entry = environ; *entry; entry++)
        env_insert_made(th, sswconv8m(mp_t_ma(&th->mp), *entry));
}

void exec_set_envp(fw_exec_i* e, const wchar_t* const* envp)
{
    exec_t* th = exec_vcast(e);
    if (th->err)
        return;
    env_clear(th);
    for (; envp && *envp; envp++)
        env_put(th, *envp, nullptr);
}

void exec_set_env(fw_exec_i* e, const wchar_t* name, const wchar_t* value)
{
    exec_t* th = exec_vcast(e);
    if (th->err)
        return;
    if (!name || !*name) {
        exec_record(th, err_bad_parameter);
        return;
    }
    env_fill_from_process(th);
    env_put(th, name, value);
}

} // namespace

// ---- program resolution --------------------------------------------------------------

// The program of argv[0] and a copy of the vector from ma whose first
// element is that path. 2 for an empty vector or a program not found, 12
// when ma fails.
static int exec_resolve(exec_t* th, malloc_i* ma, const wchar_t* const* argv,
                        wchar_t** out_path, wchar_t*** out_argv)
{
    *out_path = nullptr;
    *out_argv = nullptr;
    if (!argv || !argv[0] || !argv[0][0])
        return err_not_found;
    const wchar_t* exec_folder = proc_get_exec_folder();
    wchar_t* path;
    if (th->vars) {
        const wchar_t* const* vars = th->vars;
        path = fw_search(ma, fsf_current_folder_if, exec_folder, sswenv(vars, L"PATH"), argv[0],
                         sswenv(vars, L"PATHEXT"));
    } else {
        path = fw_search(ma, fsf_exec, exec_folder, nullptr, argv[0], nullptr);
    }
    if (!path)
        return err_not_found;
    wchar_t** copy = sswvcpym(ma, argv);
    if (!copy)
        return err_no_mem;
    copy[0] = path;
    *out_path = path;
    *out_argv = copy;
    return 0;
}

int exec_begin_start(exec_t* th, malloc_i* ma, const wchar_t* const* argv, wchar_t** out_path,
                     wchar_t*** out_argv)
{
    *out_path = nullptr;
    *out_argv = nullptr;
    if (th->started)
        return err_bad_parameter;
    th->started = true;
    if (!th->err)
        exec_record(th, exec_resolve(th, ma, argv, out_path, out_argv));
    if (!th->err && mp_t_err_count(&th->mp))
        exec_record(th, err_no_mem);
    if (!th->err)
        exec_record(th, exec_fill_std_slots(th));
    return 0;
}

// ---- wait, exit code, pid, terminate ---------------------------------------------

int exec_get_pid(fw_exec_i* e)
{
    return exec_vcast(e)->pid;
}

int exec_wait(fw_exec_i* e, pin_i* cancel_pin, int timeout_msecs)
{
    return pin_wait(&exec_vcast(e)->exited.vtbl, cancel_pin, timeout_msecs);
}

int exec_get_exit_code(fw_exec_i* e)
{
    exec_t* th = exec_vcast(e);
    QP_ASSERT(th->vtbl->wait(&th->vtbl, nullptr, -1));
    return th->exit_code;
}

void exec_terminate(fw_exec_i* e)
{
    exec_t* th = exec_vcast(e);
    sync_lock(&th->pid_lock);
    if (th->pid && !th->reaped)
        kill(th->pid, SIGKILL);
    sync_unlock(&th->pid_lock);
}

namespace {

// ---- the child, between fork and execve (async-signal-safe only) --------------------

// Everything the child needs, prepared before the fork.
struct exec_plan_t {
    const char* path;
    char** argv;
    char** envp;
    const char* folder; // null: inherit
    int std_fds[3];
    bool new_session;
};

// An error message built on the child's stack, cut at 200 characters.
struct exec_child_message_t {
    char text[exec_child_message_max * 4 + 1];
    size_t len;
    size_t chars;
};

void exec_message_add(exec_child_message_t* m, const char* s)
{
    for (; *s; s++) {
        bool starts_char = (static_cast<unsigned char>(*s) & 0xC0) != 0x80;
        if (starts_char && m->chars == exec_child_message_max)
            return;
        m->chars += starts_char;
        m->text[m->len++] = *s;
    }
}

void exec_message_add_int(exec_child_message_t* m, int value)
{
    char digits[16];
    size_t at = sizeof(digits) - 1;
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : unsigned(value);
    digits[at] = 0;
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        digits[--at] = '-';
    exec_message_add(m, digits + at);
}

// "ERROR: <errno> <what>[ <name>\n]"
void exec_message_set(exec_child_message_t* m, int err, const char* what, const char* name)
{
    m->len = m->chars = 0;
    exec_message_add(m, "ERROR: ");
    exec_message_add_int(m, err);
    exec_message_add(m, " ");
    exec_message_add(m, what);
    if (name) {
        exec_message_add(m, " ");
        exec_message_add(m, name);
        exec_message_add(m, "\n");
    }
}

// Caught signals go back to their default action, so that no handler of
// the parent runs in the child once the signals are unblocked. So do the
// signals this library ignores for its own I/O (file_ignore_sigpipe): a
// started program, root's for another user included, gets SIGPIPE and the
// terminal stops as any program expects them.
bool exec_child_resets_ignored(int sig)
{
    return sig == SIGPIPE || sig == SIGTTIN || sig == SIGTTOU;
}

void exec_child_reset_handlers()
{
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_DFL &&
            (action.sa_handler != SIG_IGN || exec_child_resets_ignored(sig))) {
            memset(&action, 0, sizeof(action));
            action.sa_handler = SIG_DFL;
            sigaction(sig, &action, nullptr);
        }
    }
}

// Makes 0-2 the planned descriptors, inheritable and blocking. The planned
// ones are all above 2, so no move overwrites another's source.
int exec_child_std_fds(const exec_plan_t* plan)
{
    for (int target = 0; target < 3; target++) {
        int fd = plan->std_fds[target];
        if (fd == target)
            continue;
        if (dup2(fd, target) < 0)
            return errno;
        fcntl(target, F_SETFD, 0);
        int status = fcntl(target, F_GETFL);
        if (status != -1 && (status & O_NONBLOCK))
            fcntl(target, F_SETFL, status & ~O_NONBLOCK);
    }
    return 0;
}

[[noreturn]] void exec_child_run(const exec_plan_t* plan)
{
    exec_child_message_t message;
    message.len = message.chars = 0;
    exec_child_reset_handlers();
    int err = exec_child_std_fds(plan);
    if (err) {
        exec_message_set(&message, err, "dup2", nullptr);
    }
    exec_cleanup_fd_table(STDERR_FILENO + 1);
    if (!err && plan->folder) {
        int res;
        while ((res = chdir(plan->folder)) != 0 && errno == EINTR) {
        }
        if (res != 0) {
            err = errno;
            exec_message_set(&message, err, "chdir", plan->folder);
        }
    }
    if (!err) {
        sigset_t none;
        if (plan->new_session)
            setsid();
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(plan->path, plan->argv, plan->envp);
        exec_message_set(&message, errno, "execve", plan->path);
    }
    for (size_t done = 0; done < message.len;) {
        ssize_t wrote = write(STDOUT_FILENO, message.text + done, message.len - done);
        if (wrote > 0)
            done += static_cast<size_t>(wrote);
        else if (wrote < 0 && errno != EINTR)
            break;
    }
    _exit(127);
}

// ---- the waiter thread ------------------------------------------------------------------

// Shared by start and its waiter until the waiter has forked.
struct exec_start_t {
    exec_t* th;
    wchar_t* path;
    wchar_t** argv;
    sema_t forked;
};

// Builds the plan in the pool: "_" and "PWD" go into the table first. 0 or
// 12.
int exec_plan_build(exec_start_t* start, malloc_i* ma, exec_plan_t* plan)
{
    exec_t* th = start->th;
    env_fill_from_process(th);
    env_put(th, L"_", start->path);
    if (th->current_folder)
        env_put(th, L"PWD", th->current_folder);
    plan->path = ss8convwm(ma, start->path);
    plan->argv = ss8vconvwm(ma, start->argv);
    plan->envp = ss8vconvwm(ma, th->vars);
    plan->folder = th->current_folder ? ss8convwm(ma, th->current_folder) : nullptr;
    plan->std_fds[0] = th->input_fd;
    plan->std_fds[1] = th->output_fd;
    plan->std_fds[2] = th->error_fd;
    plan->new_session = th->detached || th->no_console;
    bool complete = plan->path && plan->argv && plan->envp && (plan->folder || !th->current_folder);
    return complete && !mp_t_err_count(&th->mp) ? 0 : err_no_mem;
}

// Forks with every signal blocked; returns the child's id or 0 and records
// the failure.
int exec_fork(exec_t* th, const exec_plan_t* plan)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid == 0)
        exec_child_run(plan);
    int err = pid < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err) {
        exec_record(th, err);
        return 0;
    }
    return pid;
}

void exec_waiter_cleanup(void* param)
{
    exec_t* th = static_cast<exec_t*>(param);
    pin_signal(&th->exited);
    exec_int_release(th);
}

// Reaps the child that waitid reported, under the lock terminate takes.
void exec_reap(exec_t* th, const siginfo_t* info)
{
    siginfo_t reaped;
    sync_lock(&th->pid_lock);
    while (waitid(P_PID, static_cast<id_t>(th->pid), &reaped, WEXITED) != 0 && errno == EINTR) {
    }
    th->reaped = true;
    sync_unlock(&th->pid_lock);
    if (info->si_code == CLD_EXITED)
        th->exit_code = info->si_status & 0xFF;
    else
        th->exit_code = 128 + info->si_status;
}

// Waits until the child has ended. Cancellation is enabled only inside the
// wait and the pause. A child this process cannot wait for (reaped by
// another party) is probed until it no longer exists; its exit code stays 0.
void exec_wait_child(exec_t* th)
{
    int pause_msecs = exec_probe_pause_first_msecs;
    for (;;) {
        siginfo_t info;
        int cancel_state;
        memset(&info, 0, sizeof(info));
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &cancel_state);
        int res = waitid(P_PID, static_cast<id_t>(th->pid), &info, WEXITED | WNOWAIT);
        int err = res ? errno : 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
        if (!err) {
            exec_reap(th, &info);
            return;
        }
        if (err == EINTR)
            continue;
        sync_lock(&th->pid_lock);
        th->reaped = true; // not ours any more: the number may be reused
        sync_unlock(&th->pid_lock);
        if (err != ECHILD || (kill(th->pid, 0) != 0 && errno != EPERM))
            return;
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &cancel_state);
        thread_wait(pause_msecs);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
        pause_msecs = pause_msecs * 2 < exec_probe_pause_max_msecs ? pause_msecs * 2
                                                                   : exec_probe_pause_max_msecs;
    }
}

void exec_waiter_main(void* param)
{
    exec_start_t* start = static_cast<exec_start_t*>(param);
    exec_t* th = start->th;
    int cancel_state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    {
        qp_scratch_pool pool;
        exec_plan_t plan;
        int err = exec_plan_build(start, pool.ma(), &plan);
        QP_ASSERT(!th->pid);
        if (err)
            exec_record(th, err);
        else
            th->pid = exec_fork(th, &plan);
    }
    pin_reset(&th->exited);
    sema_signal(&start->forked); // start may return from here on
    pthread_cleanup_push(exec_waiter_cleanup, th);
    if (th->pid)
        exec_wait_child(th);
    pthread_cleanup_pop(1);
}

int exec_start(fw_exec_i* e, const wchar_t* const* argv)
{
    exec_t* th = exec_vcast(e);
    qp_scratch_pool pool;
    exec_start_t start;
    start.th = th;
    int refused = exec_begin_start(th, pool.ma(), argv, &start.path, &start.argv);
    if (refused)
        return refused;
    if (!th->err) {
        sema_init(&start.forked, 0);
        exec_int_retain(th);
        if (thread_start_cancel_on_collect(exec_waiter_main, &start)) {
            sema_wait(&start.forked, nullptr, -1);
        } else {
            exec_record(th, err_no_mem);
            exec_int_release(th);
        }
        sema_term(&start.forked);
    }
    exec_close_std_slots(th);
    return th->err;
}

const fw_exec_i_vtbl_t exec_vtbl = {
    exec_retain,
    exec_release,
    exec_set_no_console,
    exec_set_detached,
    exec_set_envp,
    exec_set_env,
    exec_set_current_folder,
    exec_set_input,
    exec_set_output,
    exec_set_error,
    exec_set_creds,
    exec_start,
    exec_get_pid,
    exec_terminate,
    exec_wait,
    exec_get_exit_code,
};

// ---- the UTF-8 wrapper ------------------------------------------------------------------

// Forwards every slot to base with its texts converted to wide. A text that
// cannot be converted (no memory) is recorded here and returned by start.
struct f8_exec_t {
    f8_exec_i vtbl;
    fw_exec_i* base;
    int ref_count;
    int err;
};

f8_exec_t* f8_exec_vcast(f8_exec_i* e)
{
    return reinterpret_cast<f8_exec_t*>(e);
}

fw_exec_i* f8_exec_base(f8_exec_i* e)
{
    return f8_exec_vcast(e)->base;
}

void f8_exec_record(f8_exec_i* e, int err)
{
    f8_exec_t* w = f8_exec_vcast(e);
    if (!w->err)
        w->err = err;
}

// The wide form of a text or vector (null stays null); false when the
// conversion fails.
bool f8_exec_wide(f8_exec_i* e, malloc_i* ma, const char* text, wchar_t** out)
{
    *out = text ? sswconv8m(ma, text) : nullptr;
    if (text && !*out)
        f8_exec_record(e, err_no_mem);
    return !text || *out;
}

bool f8_exec_wide_v(f8_exec_i* e, malloc_i* ma, const char* const* v, wchar_t*** out)
{
    *out = v ? sswvconv8m(ma, v) : nullptr;
    if (v && !*out)
        f8_exec_record(e, err_no_mem);
    return !v || *out;
}

void f8_exec_retain(f8_exec_i* e)
{
    f8_exec_t* w = f8_exec_vcast(e);
    QP_ASSERT(exec_load_count(&w->ref_count) > 0);
    sync_inc(&w->ref_count);
}

void f8_exec_release(f8_exec_i* e)
{
    f8_exec_t* w = f8_exec_vcast(e);
    QP_ASSERT(exec_load_count(&w->ref_count) > 0);
    if (sync_dec(&w->ref_count) == 0) {
        (*w->base)->release(w->base);
        free_d(w);
    }
}

void f8_exec_set_no_console(f8_exec_i* e)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->set_no_console(base);
}

void f8_exec_set_detached(f8_exec_i* e)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->set_detached(base);
}

void f8_exec_set_envp(f8_exec_i* e, const char* const* envp)
{
    fw_exec_i* base = f8_exec_base(e);
    qp_scratch_pool pool;
    wchar_t** wide;
    if (f8_exec_wide_v(e, pool.ma(), envp, &wide))
        (*base)->set_envp(base, wide);
}

void f8_exec_set_env(f8_exec_i* e, const char* name, const char* value)
{
    fw_exec_i* base = f8_exec_base(e);
    qp_scratch_pool pool;
    wchar_t *wide_name, *wide_value;
    if (f8_exec_wide(e, pool.ma(), name, &wide_name) &&
        f8_exec_wide(e, pool.ma(), value, &wide_value))
        (*base)->set_env(base, wide_name, wide_value);
}

void f8_exec_set_current_folder(f8_exec_i* e, const char* folder)
{
    fw_exec_i* base = f8_exec_base(e);
    qp_scratch_pool pool;
    wchar_t* wide;
    if (f8_exec_wide(e, pool.ma(), folder, &wide))
        (*base)->set_current_folder(base, wide);
}

void f8_exec_set_input(f8_exec_i* e, int fd)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->set_input(base, fd);
}

void f8_exec_set_output(f8_exec_i* e, int fd)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->set_output(base, fd);
}

void f8_exec_set_error(f8_exec_i* e, int fd)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->set_error(base, fd);
}

void f8_exec_set_creds(f8_exec_i* e, const char* user, const char* password)
{
    fw_exec_i* base = f8_exec_base(e);
    qp_scratch_pool pool;
    wchar_t *wide_user, *wide_password;
    if (f8_exec_wide(e, pool.ma(), user, &wide_user) &&
        f8_exec_wide(e, pool.ma(), password, &wide_password))
        (*base)->set_creds(base, wide_user, wide_password);
}

int f8_exec_start(f8_exec_i* e, const char* const* argv)
{
    fw_exec_i* base = f8_exec_base(e);
    qp_scratch_pool pool;
    wchar_t** wide;
    if (!f8_exec_wide_v(e, pool.ma(), argv, &wide) || f8_exec_vcast(e)->err)
        return f8_exec_vcast(e)->err;
    return (*base)->start(base, wide);
}

int f8_exec_get_pid(f8_exec_i* e)
{
    fw_exec_i* base = f8_exec_base(e);
    return (*base)->get_pid(base);
}

void f8_exec_terminate(f8_exec_i* e)
{
    fw_exec_i* base = f8_exec_base(e);
    (*base)->terminate(base);
}

int f8_exec_wait(f8_exec_i* e, pin_i* cancel_pin, int timeout_msecs)
{
    fw_exec_i* base = f8_exec_base(e);
    return (*base)->wait(base, cancel_pin, timeout_msecs);
}

int f8_exec_get_exit_code(f8_exec_i* e)
{
    fw_exec_i* base = f8_exec_base(e);
    return (*base)->get_exit_code(base);
}

const f8_exec_i_vtbl_t f8_exec_vtbl = {
    f8_exec_retain,
    f8_exec_release,
    f8_exec_set_no_console,
    f8_exec_set_detached,
    f8_exec_set_envp,
    f8_exec_set_env,
    f8_exec_set_current_folder,
    f8_exec_set_input,
    f8_exec_set_output,
    f8_exec_set_error,
    f8_exec_set_creds,
    f8_exec_start,
    f8_exec_get_pid,
    f8_exec_terminate,
    f8_exec_wait,
    f8_exec_get_exit_code,
};

} // namespace

int f8_exec_wrap(int (*fw_factory)(fw_exec_i** out), f8_exec_i** out)
{
    fw_exec_i* base;
    *out = nullptr;
    int err = fw_factory(&base);
    if (err)
        return err;
    f8_exec_t* w = static_cast<f8_exec_t*>(calloc_d(1, sizeof(f8_exec_t)));
    if (!w) {
        (*base)->release(base);
        return err_no_mem;
    }
    w->vtbl = &f8_exec_vtbl;
    w->base = base;
    w->ref_count = 1;
    *out = &w->vtbl;
    return 0;
}

int fw_exec_factory(fw_exec_i** out)
{
    return exec_create(&exec_vtbl, out);
}

int f8_exec_factory(f8_exec_i** out)
{
    return f8_exec_wrap(fw_exec_factory, out);
}

// ---- descriptor clean-up ----------------------------------------------------------------

namespace {

// Closes every listed descriptor from first_fd up; false when the listing
// cannot be read. Uses only system calls and a stack buffer.
bool exec_close_listed_fds(int first_fd)
{
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    alignas(8) char buffer[2048];
    ssize_t got;
    while ((got = getdents64(dir, buffer, sizeof(buffer))) > 0) {
        for (ssize_t at = 0; at < got;) {
            const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            long fd = 0;
            const char* digit = entry->d_name;
            if (*digit < '0' || *digit > '9')
                continue;
            for (; *digit >= '0' && *digit <= '9' && fd <= INT_MAX / 10; digit++)
                fd = fd * 10 + (*digit - '0');
            if (fd >= first_fd && fd != dir && fd <= INT_MAX)
                close(static_cast<int>(fd));
        }
    }
    close(dir);
    return true;
}

} // namespace

void exec_cleanup_fd_table(int first_fd)
{
    if (first_fd < 0)
        first_fd = 0;
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first_fd), ~0u, 0u) == 0)
        return;
#endif
    for (int fd = first_fd; fd <= first_fd + 4; fd++)
        close(fd);
    if (!exec_close_listed_fds(first_fd)) {
        for (int fd = first_fd; fd < exec_fd_list_fallback_end; fd++)
            close(fd);
    }
}

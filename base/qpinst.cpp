// qpinst.cpp - install steps: progress output, the log pump, commands with
// their output logged or captured, approvals with the execution service,
// file deletion with an aside name, copies with mode and owner, and the
// kernel version names of precompiled modules.
//
// Every step takes the caller's qpinst_stat_t, does nothing when it is
// skipped (stop_on_err with an error recorded), prints its progress line and,
// on failure, records the error and prints an "ERROR:" line. Steps keep no
// state of their own and allocate in a scratch pool released on return; the
// file system is the only persistent state (and ".deleteme_" files left
// beside busy files). No locks: steps run on the calling thread.
//
// Links: a copy creates its destination exclusively (f8_copy) after removing
// whatever stood there, a deletion removes a link itself, renames never
// follow links, and setting a mode refuses a link; so a link planted at a
// destination is replaced, never written through.
#include "qpinst.h"

#include "qperr.h"
#include "qpfile.h"
#include "qpinstint.h"
#include "qpsocket.h"
#include "qpsys.h"
#include "ssformat.h"
#include "sstring.h"

#include <cstddef>
#include <cstring>

namespace {

// Moves a file that cannot be deleted (a busy one) out of the way, to
// "<file>.deleteme_<now in 100-ns units, hex>": unique per attempt, so an
// earlier aside file is never in the way. The rename replaces an entry of
// that name (a link there included) without following it.
int move_aside(const char* file)
{
    qp_scratch_pool pool;
    char* aside = ss8formatm(pool.ma(), "%s.deleteme_%I64X", file, qpinst_now_());
    if (!aside)
        return err_no_mem;
    (void)f8_delete(aside);
    return f8_move(file, aside, 1);
}

// The folder holding file, or null for a name without a folder part.
char* parent_folder(malloc_i* ma, const char* file)
{
    size_t volume = 0, name_index = 0;
    int rooted = 0;
    if (f8_path_parse(file, &volume, &rooted, &name_index, nullptr) || name_index <= volume)
        return nullptr;
    size_t end = name_index - 1; // the separator before the last component
    if (end == volume && rooted)
        end++; // "/x": the root itself
    char* folder = static_cast<char*>(ma_alloc(ma, end + 1));
    if (folder)
        memcpy(folder, file, end);
    return folder;
}

// Whether name exists, a link counting as itself.
bool present(const char* name)
{
    struct stat st;
    return f8_lstat(name, &st) == 0;
}

// Source and destination are one file: the same file system object, where
// the destination's own entry counts (a link there is not the source).
bool same_file(const char* src, const char* dest)
{
    struct stat src_st, dest_st;
    return f8_stat(src, &src_st) == 0 && f8_lstat(dest, &dest_st) == 0 &&
           src_st.st_dev == dest_st.st_dev && src_st.st_ino == dest_st.st_ino;
}

} // namespace

// ---- output ------------------------------------------------------------------

void qpinst_outf(qpinst_stat_t* st, const char* format, ...)
{
    if (!st->output)
        return;
    char small[256];
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    size_t len = ss8formatvn(small, sizeof(small), format, args);
    if (len < sizeof(small)) {
        st->output(st, small);
    } else {
        qp_scratch_pool pool;
        if (char* text = ss8formatvm(pool.ma(), format, again))
            st->output(st, text);
    }
    va_end(again);
    va_end(args);
}

void qpinst_drop_output(qpinst_stat_t*, const char*) {}

void qpinst_exec_output(void* context, const char* data, bool new_line)
{
    qpinst_outf(static_cast<qpinst_stat_t*>(context), "%s%s", data, new_line ? "\n" : "");
}

// ---- log pump ------------------------------------------------------------------
//
// The bytes not yet delivered sit in a chain of small buffers: from first
// (whose bytes before first_pos are delivered) to last, where reads land.
// A line is joined across the chain only once its end has arrived, so a line
// of any length costs one copy. Delivered buffers go to a free list and are
// reused before anything new is allocated.

namespace {

struct buf_t {
    buf_t* next;
    size_t data_size;
    char data[21];
};

class log_pump {
public:
    log_pump(qpinst_line_output_t output, void* context) : output_(output), context_(context) {}
    ~log_pump()
    {
        free_chain(first_);
        free_chain(free_);
    }
    log_pump(const log_pump&) = delete;
    log_pump& operator=(const log_pump&) = delete;

    int run(int fd, pin_i* cancel_pin);

private:
    static void free_chain(buf_t* b)
    {
        while (b) {
            buf_t* next = b->next;
            free_d(b);
            b = next;
        }
    }
    bool room_to_read();
    int deliver(size_t line_end, size_t separator_len);
    bool pending() const { return first_ && (first_ != last_ || first_pos_ < last_->data_size); }

    qpinst_line_output_t output_;
    void* context_;
    buf_t* first_ = nullptr;
    buf_t* last_ = nullptr;
    size_t first_pos_ = 0;
    buf_t* free_ = nullptr;
};

// Makes sure last_ has room, taking a free buffer or a new one.
bool log_pump::room_to_read()
{
    if (last_ && last_->data_size < sizeof(last_->data))
        return true;
    buf_t* b = free_;
    if (b)
        free_ = b->next;
    else if (!(b = static_cast<buf_t*>(malloc_d(sizeof(buf_t)))))
        return false;
    b->next = nullptr;
    b->data_size = 0;
    if (last_)
        last_->next = b;
    else
        first_ = b;
    last_ = b;
    return true;
}

// Delivers the bytes up to last_->data[line_end] (exclusive) and drops the
// separator behind them.
int log_pump::deliver(size_t line_end, size_t separator_len)
{
    size_t len = 0;
    for (buf_t* b = first_; b != last_; b = b->next)
        len += b->data_size;
    len += line_end;
    len -= first_pos_;
    char* line = static_cast<char*>(malloc_d(len + 1));
    if (!line)
        return err_no_mem;
    size_t at = 0, from = first_pos_;
    for (buf_t* b = first_;; b = b->next, from = 0) {
        size_t to = b == last_ ? line_end : b->data_size;
        memcpy(line + at, b->data + from, to - from);
        at += to - from;
        if (b == last_)
            break;
    }
    if (len && line[len - 1] == '\r')
        len--;
    line[len] = 0;
    output_(context_, line, true);
    free_d(line);

    while (first_ != last_) {
        buf_t* b = first_;
        first_ = b->next;
        b->next = free_;
        free_ = b;
    }
    first_pos_ = line_end + separator_len;
    if (first_pos_ >= last_->data_size)
        first_pos_ = last_->data_size = 0; // wholly delivered: read into it again
    return 0;
}

int log_pump::run(int fd, pin_i* cancel_pin)
{
    int err = 0;
    while (!err) {
        if (!room_to_read()) {
            err = err_no_mem;
            break;
        }
        size_t got = 0, start = last_->data_size;
        err = qpinst_read_(fd, cancel_pin, last_->data + start, sizeof(last_->data) - start, &got);
        if (err)
            break;
        last_->data_size += got;
        for (size_t i = start; !err && i < last_->data_size;) {
            char c = last_->data[i];
            if (c == '\n' || c == 0) {
                err = deliver(i, 1);
                i = first_pos_;
            } else {
                i++;
            }
        }
    }
    if (pending()) {
        int deliver_err = deliver(last_->data_size, 0);
        if (deliver_err)
            err = deliver_err;
    }
    return err;
}

} // namespace

int qpinst_log_pump(int fd, pin_i* cancel_pin, qpinst_line_output_t output, void* context)
{
    log_pump pump(output, context);
    return pump.run(fd, cancel_pin);
}

// ---- commands ---------------------------------------------------------------------
//
// A command runs as a local process object with no input and both outputs
// on one pipe, whose lines are pumped into the status's output on the
// calling thread while the child runs.

int qpinst_exec_sub(qpinst_stat_t* st, int* out_res, const char* const* argv)
{
    int read_fd = -1, write_fd = -1;
    int err = file_create_pipe(&read_fd, &write_fd);
    if (err)
        return err;
    f8_exec_i* e = nullptr;
    err = f8_exec_factory(&e);
    if (!err) {
        (*e)->set_no_console(e);
        (*e)->set_output(e, write_fd);
        (*e)->set_error(e, write_fd);
        err = (*e)->start(e, argv);
    }
    // The child holds its own copy: the pump sees the end when it ends.
    fd_close(write_fd);
    (void)qpinst_log_pump(read_fd, nullptr, qpinst_exec_output, st);
    fd_close(read_fd);
    if (e) {
        if (!err && out_res)
            *out_res = (*e)->get_exit_code(e);
        (*e)->release(e);
    }
    return err;
}

int qpinst_run_(qpinst_stat_t* st, bool check_result, const char* const* argv)
{
    qp_scratch_pool pool;
    const char* line = ss8fromargvm(pool.ma(), nullptr, argv);
    if (!line)
        line = "";
    qpinst_outf(st, "NOTE: Running command \"%s\".\n", line);
    int exit_code = 0;
    int err = qpinst_exec_sub(st, &exit_code, argv);
    if (!err && exit_code && check_result)
        err = err_unsuccessful;
    if (err) {
        st->err = err;
        qpinst_outf(st, "ERROR: %d Unable to execute command \"%s\".\n", err, line);
    }
    return err;
}

void qpinst_exec(qpinst_stat_t* st, bool check_result, const char* const* argv)
{
    if (!qpinst_skipped_(st))
        (void)qpinst_run_(st, check_result, argv);
}

namespace {

struct pec_chunk_t {
    pec_chunk_t* next;
    size_t len;
    char data[1]; // len bytes
};

// A status whose output keeps every text as a chunk in its own pool.
struct qpinst_exec_capture_t {
    qpinst_stat_t st;
    qp_mp_t mp;
    pec_chunk_t* first;
    pec_chunk_t** last;
    size_t len;
    bool one_line;
};

void capture_output(qpinst_stat_t* st, const char* text)
{
    auto* ec = reinterpret_cast<qpinst_exec_capture_t*>(st);
    size_t text_len = strlen(text);
    auto* chunk = static_cast<pec_chunk_t*>(
        ma_alloc(mp_t_ma(&ec->mp), offsetof(pec_chunk_t, data) + text_len));
    if (!chunk)
        return; // the pool counts the failure
    for (const char* c = text; *c; c++)
        if (!ec->one_line || (*c != '\n' && *c != '\r'))
            chunk->data[chunk->len++] = *c;
    *ec->last = chunk;
    ec->last = &chunk->next;
    ec->len += chunk->len;
}

} // namespace

char* qpinst_capture_(malloc_i* ma, const char* const* argv, bool one_line, int* out_err)
{
    qpinst_exec_capture_t ec = {{capture_output, false, 0}, {}, nullptr, nullptr, 0, one_line};
    ec.last = &ec.first;
    mp_t_init(&ec.mp);
    int exit_code = 0;
    int err = qpinst_exec_sub(&ec.st, &exit_code, argv);
    if (!err && exit_code)
        err = err_unsuccessful;
    char* text = mp_t_err_count(&ec.mp) ? nullptr : static_cast<char*>(ma_alloc(ma, ec.len + 1));
    if (text) {
        size_t i = 0;
        for (pec_chunk_t* chunk = ec.first; chunk; chunk = chunk->next) {
            memcpy(text + i, chunk->data, chunk->len);
            i += chunk->len;
        }
        QP_ASSERT(i == ec.len);
        text[i] = 0;
    } else if (!err) {
        err = err_no_mem;
    }
    mp_t_term(&ec.mp);
    *out_err = err;
    return text;
}

char* qpinst_exec_capture(malloc_i* ma, const char* const* argv, bool one_line)
{
    int ignored;
    return qpinst_capture_(ma, argv, one_line, &ignored);
}

// ---- approvals ---------------------------------------------------------------------


void qpinst_set_run_as_root(qpinst_stat_t* st, const char* folder, const char* name)
{
    if (qpinst_skipped_(st))
        return;
    qp_scratch_pool pool;
    const char* file = f8_path_complete(pool.ma(), folder, name);
    const char* service = f8_path_cat(pool.ma(), env_get_exec_folder(), "qpsysexec");
    if (!file || !service) {
        st->err = err_no_mem;
        qpinst_outf(st, "ERROR: Unable to run \"%s\"\n", service ? service : "qpsysexec");
        return;
    }
    qpinst_outf(st, "Approve privileged execution \"%s\"\n", file);
    const char* argv[] = {service, "approve", file, nullptr};
    int exit_code = 0;
    int err = qpinst_exec_sub(st, &exit_code, argv);
    if (!err && exit_code)
        err = err_unsuccessful;
    if (err) {
        st->err = err;
        qpinst_outf(st, "ERROR: Unable to run \"%s\"\n", service);
    }
}

void qpinst_reset_run_as_root(qpinst_stat_t* st, const char* folder, const char* name)
{
    if (qpinst_skipped_(st))
        return;
    qp_scratch_pool pool;
    const char* file = f8_path_complete(pool.ma(), folder, name);
    if (!file)
        return;
    const char* argv[] = {qpsysexec_service_exe_name, "revoke", file, nullptr};
    (void)qpinst_exec_sub(st, nullptr, argv);
}

// ---- deleting --------------------------------------------------------------------

int qpinst_delete_file_sub(const char* file, bool cleanup_folder)
{
    int err = f8_delete(file);
    if (present(file)) {
        if (!err)
            err = err_unsuccessful;
        if (move_aside(file) == 0)
            err = 0;
    } else {
        err = 0;
    }
    if (!err && cleanup_folder) {
        // Goes only when empty.
        qp_scratch_pool pool;
        if (char* folder = parent_folder(pool.ma(), file))
            (void)f8_delete(folder);
    }
    return err;
}

void qpinst_delete_file2(qpinst_stat_t* st, const char* file, bool cleanup_folder)
{
    if (qpinst_skipped_(st) || !present(file))
        return;
    qpinst_outf(st, "Deleting file \"%s\"\n", file);
    int err = qpinst_delete_file_sub(file, cleanup_folder);
    if (err) {
        st->err = err;
        qpinst_outf(st, "ERROR: Unable to delete file \"%s\"\n", file);
    }
}

void qpinst_delete_file(qpinst_stat_t* st, const char* folder, const char* name)
{
    if (qpinst_skipped_(st))
        return;
    qp_scratch_pool pool;
    char* file = f8_path_complete(pool.ma(), nullptr, folder);
    if (file && name && *name)
        file = f8_path_cat(pool.ma(), file, name);
    if (!file) {
        st->err = err_no_mem;
        qpinst_outf(st, "ERROR: Unable to delete file \"%s\"\n", name ? name : folder);
        return;
    }
    qpinst_delete_file2(st, file, true);
}

// ---- copying ---------------------------------------------------------------------

int qpinst_copy_sub(int copy_flags, const char* src_file, const char* dest_file)
{
    qp_scratch_pool pool;
    char* dest_folder = parent_folder(pool.ma(), dest_file);
    // A source that cannot be copied leaves the destination as it is.
    struct stat src_st;
    int err = f8_stat(src_file, &src_st);
    if (!err && S_ISDIR(src_st.st_mode))
        err = err_is_folder;
    if (err)
        return err;

    struct stat dest_st;
    if (f8_lstat(dest_file, &dest_st) == 0) {
        int duplicate = 0;
        if (S_ISREG(dest_st.st_mode) && f8_compare(src_file, dest_file, &duplicate) == 0 &&
            duplicate)
            return 0; // the same content: not even the mode changes
        if (f8_delete(dest_file) != 0)
            (void)move_aside(dest_file); // a failure shows in the copy
    }
    if (dest_folder)
        (void)f8_create_full_folder(dest_folder); // a failure shows in the copy
    err = f8_copy(src_file, dest_file);
    if (!err)
        err = qpinst_set_mode_sub(copy_flags, dest_file);
    return err;
}

void qpinst_copy_opt2(qpinst_stat_t* st, int copy_flags, const char* src_file,
                      const char* dest_file)
{
    if (qpinst_skipped_(st))
        return;
    bool src_missing = f8_exists(src_file, nullptr) != 0;
    if (src_missing && (copy_flags & qpinst_copy_flag_optional))
        return;
    qpinst_outf(st, "Copying file \"%s\" to \"%s\"\n", src_file, dest_file);
    // One file under two names is not copied onto itself (that would delete
    // it first); only its mode is set.
    if (src_missing || !same_file(src_file, dest_file)) {
        int err = qpinst_copy_sub(copy_flags, src_file, dest_file);
        if (err) {
            st->err = err;
            qpinst_outf(st, "ERROR: Unable to copy file \"%s\" to \"%s\"\n", src_file, dest_file);
        }
    } else {
        int err = qpinst_set_mode_sub(copy_flags, dest_file);
        if (err) {
            st->err = err;
            qpinst_outf(st, "ERROR: Unable to set mode of file \"%s\"\n", dest_file);
        }
    }
}

void qpinst_copy_opt(qpinst_stat_t* st, int copy_flags, const char* src_folder,
                     const char* src_name, const char* dest_folder, const char* rename)
{
    if (qpinst_skipped_(st))
        return;
    qp_scratch_pool pool;
    malloc_i* ma = pool.ma();
    char* folder = f8_path_complete(ma, nullptr, src_folder);
    char* src = folder ? f8_path_complete(ma, folder, src_name) : nullptr;
    char* up_name = ss8formatm(ma, "../%s", src_name);
    char* alt_src = folder && up_name ? f8_path_complete(ma, folder, up_name) : nullptr;
    char* dest = f8_path_complete(ma, dest_folder, rename ? rename : src_name);
    if (!src || !alt_src || !dest) {
        st->err = err_no_mem;
        qpinst_outf(st, "ERROR: Unable to copy file \"%s\" to \"%s\"\n", src_name,
                    dest_folder);
        return;
    }
    if ((copy_flags & qpinst_copy_flag_search) && f8_exists(src, nullptr) != 0)
        src = alt_src;
    qpinst_copy_opt2(st, copy_flags, src, dest);
}

void qpinst_copy_exec(qpinst_stat_t* st, const char* src_folder, const char* src_name,
                      const char* dest_folder, const char* rename)
{
    qpinst_copy_opt(st, qpinst_copy_flag_exec, src_folder, src_name, dest_folder, rename);
}

void qpinst_copy_exec2(qpinst_stat_t* st, const char* src, const char* dest)
{
    qpinst_copy_opt2(st, qpinst_copy_flag_exec, src, dest);
}

void qpinst_copy_exec_setuidroot(qpinst_stat_t* st, const char* src, const char* dest)
{
    qpinst_copy_opt2(st, qpinst_copy_flag_exec | qpinst_copy_flag_run_as_root, src, dest);
}

// ---- kernel version names ------------------------------------------------------------

char* qpinst_normalize_kernel_ver(malloc_i* ma, const char* version, const char* arch)
{
    const char* el = strstr(version, ".el");
    const char* dash = nullptr;
    for (const char* p = version; el && p < el; p++)
        if (*p == '-')
            dash = p;
    if (!dash)
        return ss8formatm(ma, "%s", version);
    int main_len = static_cast<int>(dash - version);
    if (el[3] != '5')
        return ss8formatm(ma, "%.*s-x%s", main_len, version, el);
    const char* rest = el + 4;
    if (!arch)
        arch = "";
    if (strcmp(rest, ".ADSK") == 0)
        return ss8formatm(ma, "%.*s-x.el5.%s", main_len, version, arch);
    return ss8formatm(ma, "%.*s-x.el5.%s%s%s", main_len, version, arch,
                      *rest && *rest != '.' ? "." : "", rest);
}

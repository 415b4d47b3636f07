// qpsysexec.cpp - the approval store of the execution service, its commands
// approve, revoke and list, the version-date tag and the registration of
// the daemon copies.
//
// The store is the key QPSYSEXEC_KEY_NAME of the file key store in the
// system domain; only values named "approval.*" (any case) count, each
// holding one full path. Every operation opens the key afresh and walks all
// its values, so the store needs no lock: the commands run on the main
// thread, and the daemon's checks (each on its own connection thread) see the
// folder as it is at that moment. proxy_approved_arg0 is written only by the
// proxy command before it serves and after it stopped.
//
// Messages are user texts whose stored text is a format of the format
// engine; they are printed in the console's character set with one write.
#include "qpsysexec.h"

#include <cstring>

#include "filekey.h"
#include "qperr.h"
#include "qpfile.h"
#include "qpinst.h"
#include "qppolymain8.h"
#include "qpsync.h"
#include "ssformat.h"
#include "sstring.h"
#include "usertext.h"

#ifndef QPSYSEXEC_VER_DATE
#define QPSYSEXEC_VER_DATE "2023.11.22"
#endif

extern "C" {

char** proxy_approved_arg0;

// The tag and the date every build carries; get_file_ver_date finds it in a
// program file. Kept even though only its address is taken.
__attribute__((used)) const char qpsysexec_ver_date_tag[] =
    QPSYSEXEC_VER_DATE_TAG QPSYSEXEC_VER_DATE;

} // extern "C"

static_assert(sizeof(QPSYSEXEC_VER_DATE_TAG) - 1 == QPSYSEXEC_VER_DATE_TAG_LEN,
              "the version-date tag is 31 bytes");

namespace {

UTDEF(ut_unknown_switch, "qpsysexec_warning_unknown_switch",
      "WARNING: Ignoring unknown switch \"%s\"\n");
UTDEF(ut_unexpected_arg, "qpsysexec_warning_unexpected_argument",
      "WARNING: Ignoring unexpected argument \"%s\"\n");
UTDEF(ut_no_executable, "qpsysexec_error_no_executable",
      "ERROR: Must supply executable file name.\n");
UTDEF(ut_invalid_executable, "qpsysexec_error_invalid_executable",
      "ERROR: Invalid executable specified \"%s\" .\n");
UTDEF(ut_approve_failed, "qpsysexec_error_approve", "ERROR: %d Unable to approve executable.\n");
UTDEF(ut_register_failed, "qpsysexec_error_register", "ERROR: %d Unable to register service.\n");
UTDEF(ut_revoke_unneeded, "qpsysexec_warning_revoke_unneeded",
      "WARNING: Revoke not necessary, executable not approved.\n");
UTDEF(ut_revoke_failed, "qpsysexec_error_revoke", "ERROR: %d Unable to revoke executable.\n");
UTDEF(ut_unregister_failed, "qpsysexec_error_unregister",
      "ERROR: %d Unable to unregister daemon.\n");
UTDEF(ut_list_line, "qpsysexec_list_line", "%s\n");

UTDEF(ut_approve_short, "approve_short_help", "Add approved executable.\n");
UTDEF(ut_approve_long, "approve_long_help", "syntax: %(command_name) %1 <executable>\n");
UTDEF(ut_revoke_short, "revoke_short_help", "Remove approved executable.\n");
UTDEF(ut_revoke_long, "revoke_long_help", "syntax: %(command_name) %1 <executable>\n");
UTDEF(ut_list_short, "list_short_help", "List approved executables.\n");
UTDEF(ut_list_long, "list_long_help", "syntax: %(command_name) %1 [<filter>]\n");

const char approval_pattern[] = "approval.*";

// The stored spelling equals path (Unicode case folding).
bool same_path(const char* stored, const char* path)
{
    return ss8u5cmpi(stored, path) == 0;
}

bool in_proxy_list(const char* path)
{
    for (char** entry = proxy_approved_arg0; entry && *entry; entry++)
        if (strcmp(*entry, path) == 0)
            return true;
    return false;
}

// The value name of a new approval: creation time and CRC-32 of the path.
char* new_value_name(malloc_i* ma, const char* path)
{
    return ss8formatm(ma, "approval.%016I64X%08X", static_cast<uint64_t>(time_100nsec()),
                      Crc32Generate(path, strlen(path)));
}

// One walk over the approvals, as the store operation describes.
struct store_walk {
    malloc_i* res_ma;
    int op;
    char** args;
    int count = 0;
    bool found = false;
    bool out_of_memory = false; // check: the stored spelling could not be copied

    void visit(fkey_t* key, const char* value_name, const char* stored)
    {
        const char* arg = args[0];
        if (op == qpsysexec_op_list) {
            if (!*arg || ss8u5globi(arg, stored)) {
                qpsysexec_printf(ut_list_line.tid, stored);
                found = true;
            }
            return;
        }
        if (!same_path(stored, arg))
            return;
        switch (op) {
        case qpsysexec_op_approve:
            if (found) {
                fkey_delete_val(key, value_name);
                count--;
            } else {
                fkey_set_string(key, value_name, arg);
            }
            break;
        case qpsysexec_op_revoke:
            fkey_delete_val(key, value_name);
            count--;
            break;
        case qpsysexec_op_check:
            if (!found) {
                char* copy = ss8cpym(res_ma, stored);
                if (copy)
                    args[0] = copy;
                else
                    out_of_memory = true;
            }
            break;
        }
        found = true;
    }
};

fkey_t* open_store(int op)
{
    if (op == qpsysexec_op_approve || op == qpsysexec_op_revoke) {
        fkey_close(fkey_create(fkey_domain_system, QPSYSEXEC_KEY_NAME));
        return fkey_write(fkey_domain_system, QPSYSEXEC_KEY_NAME);
    }
    return fkey_read(fkey_domain_system, QPSYSEXEC_KEY_NAME);
}

int approval_count_after(int op, store_walk& walk, fkey_t* key)
{
    if (walk.out_of_memory)
        return err_no_mem;
    if (walk.found)
        return 0;
    if (op != qpsysexec_op_approve)
        return err_not_found;
    qp_scratch_pool pool;
    const char* name = new_value_name(pool.ma(), walk.args[0]);
    if (!name)
        return err_no_mem;
    fkey_set_string(key, name, walk.args[0]);
    walk.count++;
    return 0;
}

// Resolves an executable as approve and revoke take it: the program search
// (folder of this program, the current folder for names with '/', PATH).
char* resolve_executable(malloc_i* ma, const char* name)
{
    return f8_search(ma, fsf_exec, env_get_exec_folder(), nullptr, name, nullptr);
}

bool is_empty(const char* text)
{
    return !text || !*text;
}

// The executable argument of approve and revoke as a full path from the
// pool; null after printing the error line, with *out_err set. by_name_too
// takes a name the search cannot find (a file that is gone) as a path.
const char* executable_argument(qp_scratch_pool& pool, int argc, char** argv, bool by_name_too,
                                int* out_err)
{
    *out_err = err_bad_parameter;
    const char* name = qpsysexec_scan_args(argc, argv, 1);
    if (!name) {
        qpsysexec_printf(ut_no_executable.tid);
        return nullptr;
    }
    const char* path = resolve_executable(pool.ma(), name);
    if (is_empty(path) && by_name_too)
        path = f8_path_complete(pool.ma(), nullptr, name);
    if (is_empty(path)) {
        qpsysexec_printf(ut_invalid_executable.tid, name);
        return nullptr;
    }
    *out_err = 0;
    return path;
}

int approve_main(int argc, char** argv)
{
    qp_scratch_pool pool;
    int err = 0;
    const char* path = executable_argument(pool, argc, argv, false, &err);
    if (!path)
        return err;
    err = qpsysexec_approve_command(path);
    if (err) {
        qpsysexec_printf(ut_approve_failed.tid, err);
        return err;
    }
    err = qpsysexec_register_daemon();
    if (err)
        qpsysexec_printf(ut_register_failed.tid, err);
    return err;
}

int revoke_main(int argc, char** argv)
{
    qp_scratch_pool pool;
    int err = 0;
    const char* path = executable_argument(pool, argc, argv, true, &err);
    if (!path)
        return err;
    int count = 0;
    err = qpsysexec_revoke_command(path, &count);
    if (err == err_not_found) {
        qpsysexec_printf(ut_revoke_unneeded.tid);
        err = 0;
    } else if (err) {
        qpsysexec_printf(ut_revoke_failed.tid, err);
        return err;
    }
    if (count == 0) {
        err = qpsysexec_unregister_daemon();
        if (err)
            qpsysexec_printf(ut_unregister_failed.tid, err);
    }
    return err;
}

int list_main(int argc, char** argv)
{
    const char* filter = qpsysexec_scan_args(argc, argv, 1);
    qpsysexec_list_commands(filter);
    return 0;
}

declare_main8_c decl_approve(nullptr, "approve", approve_main, nullptr, nullptr);
declare_main8_c decl_revoke(nullptr, "revoke", revoke_main, nullptr, nullptr);
declare_main8_c decl_list(nullptr, "list", list_main, nullptr, nullptr);

bool tag_at(const char* data, size_t offset)
{
    return memcmp(data + offset, qpsysexec_ver_date_tag, QPSYSEXEC_VER_DATE_TAG_LEN) == 0;
}

} // namespace

extern "C" {

// ---- messages and arguments ------------------------------------------------------

void qpsysexec_printf(const char* tid, ...)
{
    qp_scratch_pool pool;
    va_list args;
    va_start(args, tid);
    const char* text = ss8formatvm(pool.ma(), ut_map_get(tid), args);
    va_end(args);
    const char* console = text ? ssaconv8m(pool.ma(), text) : nullptr;
    UtOutFileLine(1, console ? console : text, 0);
}

const char* qpsysexec_scan_args(int argc, char** argv, int max_taken)
{
    const char* taken = nullptr;
    int taken_count = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] == '-' && arg[1] && !arg[2]) {
            qpsysexec_printf(ut_unknown_switch.tid, arg);
        } else if (taken_count < max_taken) {
            taken = taken ? taken : arg;
            taken_count++;
        } else {
            qpsysexec_printf(ut_unexpected_arg.tid, arg);
        }
    }
    return taken;
}

// ---- the store -----------------------------------------------------------------

int qpsysexec_config_op(malloc_i* res_ma, int op, char** args, int* out_count)
{
    if (out_count)
        *out_count = 0;
    if (op < qpsysexec_op_approve || op > qpsysexec_op_list || !args || !args[0] ||
        (op != qpsysexec_op_list && !*args[0]) || (op == qpsysexec_op_check && !res_ma))
        return err_bad_parameter;
    fkey_t* key = open_store(op);
    if (!key && op != qpsysexec_op_list && op != qpsysexec_op_check)
        return err_access_denied;
    store_walk walk{res_ma, op, args};
    fkey_list_t* list = fkey_list_val(key);
    while (const char* value_name = fkey_list_next(list)) {
        if (!ss8asciiglobi(approval_pattern, value_name))
            continue;
        walk.count++;
        qp_scratch_pool pool;
        const char* stored = fkey_get_string(key, pool.ma(), value_name, nullptr);
        if (stored)
            walk.visit(key, value_name, stored);
    }
    fkey_list_close(list);
    int err = approval_count_after(op, walk, key);
    fkey_close(key);
    if (out_count)
        *out_count = walk.count;
    return err;
}

int qpsysexec_approve_command(const char* path)
{
    char* args[] = {const_cast<char*>(path), nullptr};
    return qpsysexec_config_op(nullptr, qpsysexec_op_approve, args, nullptr);
}

int qpsysexec_revoke_command(const char* path, int* out_count)
{
    char* args[] = {const_cast<char*>(path), nullptr};
    return qpsysexec_config_op(nullptr, qpsysexec_op_revoke, args, out_count);
}

int qpsysexec_check_command(malloc_i* res_ma, char** args)
{
    QP_ASSERT(res_ma);
    if (args && args[0] && in_proxy_list(args[0]))
        return 0;
    return qpsysexec_config_op(res_ma, qpsysexec_op_check, args, nullptr);
}

int qpsysexec_list_commands(const char* filter)
{
    char* args[] = {const_cast<char*>(filter ? filter : ""), nullptr};
    return qpsysexec_config_op(nullptr, qpsysexec_op_list, args, nullptr);
}

// ---- version date and registration -------------------------------------------------

const char* get_ver_date(void)
{
    return qpsysexec_ver_date_tag + QPSYSEXEC_VER_DATE_TAG_LEN;
}

char* get_file_ver_date(malloc_i* res_ma, const char* file_name)
{
    qp_scratch_pool pool;
    void* raw = nullptr;
    size_t size = 0;
    if (f8_read_data(pool.ma(), file_name, QPSYSEXEC_VER_DATE_MAX_FILE, &raw, &size) != 0)
        return nullptr;
    const char* data = static_cast<const char*>(raw);
    const char* date = nullptr;
    size_t date_len = 0;
    // A line feed that starts no tag moves the scan on by one byte only, so
    // that a line feed just before a tag cannot carry the scan past it.
    for (size_t offset = 0; offset + QPSYSEXEC_VER_DATE_TAG_LEN < size;) {
        if (data[offset] != '\n' || !tag_at(data, offset)) {
            offset++;
            continue;
        }
        offset += QPSYSEXEC_VER_DATE_TAG_LEN;
        date = data + offset;
        const void* zero = memchr(date, 0, size - offset);
        date_len = zero ? static_cast<size_t>(static_cast<const char*>(zero) - date) : size - offset;
    }
    return date ? ss8cpymn(res_ma, date, date_len) : nullptr;
}

int qpsysexec_register_daemon(void)
{
    qp_scratch_pool pool;
    const char* installed = get_file_ver_date(pool.ma(), QPSYSEXEC_DAEMON_FILE);
    if (installed && ss8asciicmpi(installed, get_ver_date()) > 0)
        return 0;
    const char* self = qpsysexec_running_program(pool.ma());
    if (!self)
        return err_no_mem;
    qpinst_stat_t st = {nullptr, true, 0};
    qpinst_copy_exec_setuidroot(&st, self, QPSYSEXEC_DAEMON_FILE);
    qpinst_copy_exec2(&st, self, qpsysexec_service_exe_name);
    return st.err;
}

int qpsysexec_unregister_daemon(void)
{
    qpinst_stat_t st = {nullptr, false, 0};
    qpinst_delete_file2(&st, QPSYSEXEC_DAEMON_FILE, false);
    qpinst_delete_file2(&st, qpsysexec_service_exe_name, false);
    return st.err;
}

} // extern "C"

// qpinstnix.cpp - the Linux side of the install steps: reads and pipes for
// the log pump, times for aside names, modes and owners, the file hash, and
// the kernel-module steps (uname, tar, make and /sbin/insmod under
// /lib/modules).
//
// Descriptors are close-on-exec and tracked by the debug heap; modes are
// set on the entry itself, never through a link. The module archive is
// unpacked as root only after its member list showed nothing but files and
// folders inside the module folder; check files are created anew, never
// written through a link. No state, no locks: steps run on the calling
// thread.
#include "qpinst.h"

#include "qperr.h"
#include "qpfile.h"
#include "qpinstint.h"
#include "qpsocket.h"
#include "qpsys.h"
#include "qpsysnix.hpp"
#include "ssformat.h"
#include "sstring.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using qpfd::last_error;

} // namespace

int qpinst_read_(int fd, pin_i* cancel_pin, void* data, size_t max, size_t* out_got)
{
    int err = fd_recv(fd, 0, cancel_pin, -1, data, 1, max, out_got);
    // The end of the data is the normal end of a command's output.
    return err == err_broken_pipe && !*out_got ? err_end_of_data : err;
}

int64_t qpinst_now_(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return file_time_from_unix(now.tv_sec, now.tv_nsec);
}

int qpinst_set_mode_sub(int copy_flags, const char* dest_file)
{
    struct stat st;
    int err = f8_lstat(dest_file, &st);
    if (err)
        return err;
    if (S_ISLNK(st.st_mode))
        return err_loop;
    const bool run_as_root = copy_flags & qpinst_copy_flag_run_as_root;
    const bool root = run_as_root || (copy_flags & qpinst_copy_flag_root);
    mode_t mode = (st.st_mode & ~static_cast<mode_t>(S_ISUID | S_ISGID | 0777)) | 0644;
    if (run_as_root)
        mode |= S_ISUID;
    if (run_as_root || (copy_flags & qpinst_copy_flag_exec))
        mode |= 0111;
    uid_t user = root ? 0 : st.st_uid;
    gid_t group = root ? 0 : st.st_gid;
    if (user != st.st_uid || group != st.st_gid) {
        if (lchown(dest_file, user, group) != 0)
            return last_error();
        // A change of owner clears the set-id bits: read the mode again.
        if ((err = f8_lstat(dest_file, &st)) != 0)
            return err;
    }
    if (mode != st.st_mode && fchmodat(AT_FDCWD, dest_file, mode & 07777, 0) != 0)
        return last_error();
    return 0;
}

char* qpinst_gen_file_hash(malloc_i* ma, const char* file)
{
    const size_t max_bytes = 50000000, block_size = 256 * 1024;
    int fd = -1;
    if (f8_open(&fd, file, fof_read_data) != 0)
        return nullptr;
    qpfd::heap_block block(block_size);
    uint32_t crc = 0;
    int err = block.get() ? 0 : err_no_mem;
    for (size_t total = 0; !err && total < max_bytes;) {
        size_t want = max_bytes - total < block_size ? max_bytes - total : block_size, got = 0;
        err = qpfd::read_full(fd, block.get(), want, &got);
        crc = Crc32Update(crc, block.get(), got);
        total += got;
        if (got < want)
            break;
    }
    fd_close(fd);
    return err ? nullptr : ss8formatm(ma, "%08X", crc);
}

// ---- kernel modules ------------------------------------------------------------------
//
// The archive /lib/modules/<N>.kmod unpacks into the module folder
// /lib/modules/<release>/<N>, where either a precompiled module named for
// the release is taken or make builds <N>.ko. Two check files beside the
// module (the archive's CRC and the kernel configuration it was made for)
// tell the next call that nothing changed, so it only loads.

namespace {

const char kmod_folder[] = "/lib/modules";
const char kmod_ext[] = ".kmod";
const size_t check_file_max = 100000;
const char* const cleanup_filters[] = {
    ".tmp*", "*.o", "*.a", "*.a-*", "*.a.o_*", "*.cmd", "*.c",
    "*.h", "*.rc", "Makefile", "*.ko", "*.ko.unsigned", "*.tar",
};
// Folders below the module folder that the clean-up descends into.
const int cleanup_max_depth = 16;

// The names of one module on the running kernel.
struct kmod_names {
    const char* name;
    const char* release;         // uname -r
    const char* arch;            // uname -m
    const char* kernel_folder;   // /lib/modules/<release>
    const char* module_folder;   // <kernel folder>/<name>
    const char* module_file;     // <module folder>/<name>.ko
    const char* module_file_name; // <name>.ko
    const char* archive;         // /lib/modules/<name>.kmod
    const char* makefile;        // <kernel folder>/build/Makefile
    const char* config;          // <kernel folder>/build/.config
    const char* precompiled;     // <name>-<normalised release>.ko
    const char* archive_check_file;
    const char* config_check_file;
};

// A command's one-line output; empty when it failed.
const char* command_line_of(malloc_i* ma, const char* program, const char* arg)
{
    const char* argv[] = {program, arg, nullptr};
    int err = 0;
    const char* text = qpinst_capture_(ma, argv, true, &err);
    return err || !text ? "" : text;
}

// A release names one folder under /lib/modules.
bool release_usable(const char* release)
{
    return *release && !strchr(release, '/') && strcmp(release, ".") != 0 &&
           strcmp(release, "..") != 0;
}

int kmod_names_init(kmod_names* k, malloc_i* ma, const char* name)
{
    k->name = name;
    k->release = command_line_of(ma, "uname", "-r");
    k->arch = command_line_of(ma, "uname", "-m");
    if (!release_usable(k->release))
        return err_unsuccessful;
    k->kernel_folder = ss8formatm(ma, "%s/%s", kmod_folder, k->release);
    k->module_folder = ss8formatm(ma, "%s/%s", k->kernel_folder, name);
    k->module_file_name = ss8formatm(ma, "%s.ko", name);
    k->module_file = ss8formatm(ma, "%s/%s", k->module_folder, k->module_file_name);
    k->archive = ss8formatm(ma, "%s/%s%s", kmod_folder, name, kmod_ext);
    k->makefile = ss8formatm(ma, "%s/build/Makefile", k->kernel_folder);
    k->config = ss8formatm(ma, "%s/build/.config", k->kernel_folder);
    k->precompiled = qpinst_precompiled_name(ma, name, k->release, k->arch);
    k->archive_check_file = ss8formatm(ma, "%s/kmod_check.txt", k->module_folder);
    k->config_check_file = ss8formatm(ma, "%s/config_check.txt", k->module_folder);
    return k->kernel_folder && k->module_folder && k->module_file_name && k->module_file &&
                   k->archive && k->makefile && k->config && k->precompiled &&
                   k->archive_check_file && k->config_check_file
               ? 0
               : err_no_mem;
}

// The first 100000 bytes of a file; empty when it cannot be read.
const char* read_check_text(malloc_i* ma, const char* file)
{
    void* data = nullptr;
    size_t size = 0;
    return f8_read_data(ma, file, check_file_max, &data, &size) == 0 ? static_cast<char*>(data)
                                                                      : "";
}

// Writes a check file as a new file: whatever stood at its name (a link
// included) is removed first, never written through.
int write_check_file(const char* file, const char* text)
{
    int fd = -1;
    int err = f8_create(&fd, file, fof_truncate);
    if (!err) {
        err = qpfd::write_all(fd, text, strlen(text));
        fd_close(fd);
    }
    return err;
}

// Whether one member name of the archive lands inside the folder <name>.
bool member_inside(const char* member, const char* name)
{
    if (member[0] == '.' && member[1] == '/')
        member += 2;
    size_t len = strlen(name);
    if (strncmp(member, name, len) != 0 || (member[len] && member[len] != '/'))
        return false;
    for (const char* part = member; *part;) {
        size_t part_len = strcspn(part, "/");
        if (part_len == 2 && part[0] == '.' && part[1] == '.')
            return false;
        part += part_len;
        part += *part == '/';
    }
    return true;
}

// Refuses (22) an archive whose members would land outside the module
// folder: names outside <name>/, absolute or with "..", and any member but
// files and folders (links could point anywhere; devices have no place).
int check_archive_members(qpinst_stat_t* st, malloc_i* ma, const kmod_names* k)
{
    const char* names_argv[] = {"tar", "tzf", k->archive, nullptr};
    const char* types_argv[] = {"tar", "tvzf", k->archive, nullptr};
    int err = 0;
    char* names = qpinst_capture_(ma, names_argv, false, &err);
    char* types = err ? nullptr : qpinst_capture_(ma, types_argv, false, &err);
    if (err) {
        qpinst_outf(st, "ERROR: Unable to list the module archive \"%s\"\n", k->archive);
        return err;
    }
    char* rest = nullptr;
    for (char* line = strtok_r(names, "\n", &rest); line; line = strtok_r(nullptr, "\n", &rest)) {
        if (!member_inside(line, k->name)) {
            qpinst_outf(st, "ERROR: Module archive \"%s\" holds \"%s\" outside \"%s/\"\n",
                        k->archive, line, k->name);
            return err_bad_parameter;
        }
    }
    for (char* line = strtok_r(types, "\n", &rest); line; line = strtok_r(nullptr, "\n", &rest)) {
        if ((line[0] != '-' && line[0] != 'd') || strstr(line, " link to ")) {
            qpinst_outf(st, "ERROR: Module archive \"%s\" holds a link or special file: %s\n",
                        k->archive, line);
            return err_bad_parameter;
        }
    }
    return 0;
}

bool matches_cleanup_filter(const char* entry_name)
{
    for (const char* filter : cleanup_filters)
        if (ss8u5globi(filter, entry_name))
            return true;
    return false;
}

// Removes build leftovers from a folder of the module: links and unreadable
// entries go, the module stays, entries that match no filter stay with their
// permissions reset (kept folders are cleaned the same way), matching ones
// go. Returns whether the folder is now empty.
bool clean_folder(const char* folder, const char* module_file_name, int depth)
{
    f8_list_i* list = nullptr;
    if (f8_list_factory(&list, folder, file_list_flag_no_follow) != 0)
        return false;
    bool empty = true;
    const char* entry = nullptr;
    size_t name_index = 0;
    file_attribs_t attribs;
    while ((*list)->next(list, &entry, &name_index, &attribs) == 0) {
        const char* entry_name = entry + name_index;
        QP_ASSERT(!attribs.is_target);
        if (attribs.is_broken || attribs.is_symlink) {
            (void)f8_delete(entry);
        } else if (depth == 0 && ss8u5cmpi(entry_name, module_file_name) == 0) {
            empty = false;
        } else if (matches_cleanup_filter(entry_name)) {
            (void)(attribs.is_folder ? f8_delete_tree(entry) : f8_delete(entry));
        } else if (attribs.is_folder && depth < cleanup_max_depth) {
            (void)f8_chmod(entry, 0755);
            if (clean_folder(entry, module_file_name, depth + 1))
                (void)f8_delete(entry);
            else
                empty = false;
        } else {
            bool executable = attribs.file_flags & file_flag_executable;
            (void)f8_chmod(entry, executable ? 0755 : 0644);
            empty = false;
        }
    }
    (*list)->release(list);
    return empty;
}

// The check files record what the module was made from; writing them marks
// the module current.
int record_checks(const kmod_names* k, const char* archive_check, const char* config)
{
    if (f8_exists(k->module_file, nullptr) != 0)
        return err_unsuccessful;
    if (write_check_file(k->archive_check_file, archive_check) != 0 ||
        write_check_file(k->config_check_file, config) != 0)
        return err_unsuccessful;
    return 0;
}

// Unpacks the archive and makes the module file: the precompiled module for
// this release when the archive holds one, else a build. Returns the error
// (already printed and recorded in st).
int make_module(qpinst_stat_t* st, malloc_i* ma, const kmod_names* k, const char* archive_check,
                const char* config)
{
    int err = check_archive_members(st, ma, k);
    if (err) {
        st->err = err;
        return err;
    }
    (void)f8_delete_tree(k->module_folder);
    // A machine without modules of its own (no kernel folder yet) can still
    // take a precompiled module.
    (void)f8_create_full_folder(k->kernel_folder);
    const char* tar_argv[] = {"tar", "xzf", k->archive, "-C", k->kernel_folder, nullptr};
    (void)qpinst_run_(st, false, tar_argv);

    const char* precompiled = ss8formatm(ma, "%s/%s", k->module_folder, k->precompiled);
    struct stat pre_st;
    if (!precompiled)
        err = err_no_mem;
    else if (f8_lstat(precompiled, &pre_st) == 0 && S_ISREG(pre_st.st_mode)) {
        qpinst_outf(st, "Using precompiled kernel module %s\n", k->precompiled);
        err = qpinst_copy_sub(0, precompiled, k->module_file);
        if (err) {
            st->err = err;
            qpinst_outf(st, "ERROR: Unable to copy file \"%s\" to \"%s\"\n", precompiled,
                        k->module_file);
            return err;
        }
    } else if (f8_exists(k->makefile, nullptr) != 0) {
        st->err = err_not_folder;
        qpinst_outf(st,
                    "ERROR: No kernel source at \"%s\"\nInstall matching kernel sources for "
                    "the running kernel\n",
                    k->kernel_folder);
        return err_not_folder;
    } else {
        const char* make_argv[] = {"make", "-j4", "-rR", "--no-print-directory",
                                   "-C", k->module_folder, nullptr};
        err = qpinst_run_(st, true, make_argv);
    }
    if (!err)
        err = record_checks(k, archive_check, config);
    if (err) {
        st->err = err;
        qpinst_outf(st, "ERROR: Module load preparation failed \"%s\"\n", k->archive);
        return err;
    }
    (void)clean_folder(k->module_folder, k->module_file_name, 0);
    return 0;
}

} // namespace

char* qpinst_precompiled_name(malloc_i* ma, const char* name, const char* release,
                              const char* arch)
{
    qpfd::scratch_pool pool;
    const char* version = qpinst_normalize_kernel_ver(pool.ma(), release, arch);
    return version ? ss8formatm(ma, "%s-%s.ko", name, version) : nullptr;
}

void qpinst_update_kmod(qpinst_stat_t* st, const char* name, bool load_kmod)
{
    if (qpinst_skipped_(st))
        return;
    qpfd::scratch_pool pool;
    malloc_i* ma = pool.ma();
    kmod_names k;
    int err = kmod_names_init(&k, ma, name);
    if (err) {
        st->err = err;
        qpinst_outf(st, "ERROR: Unable to determine the running kernel release\n");
        return;
    }
    const char* archive_check = qpinst_gen_file_hash(ma, k.archive);
    if (!archive_check) {
        st->err = err_not_found;
        qpinst_outf(st, "ERROR: Module not installed \"%s\"\n", k.archive);
        return;
    }
    const char* config = read_check_text(ma, k.config);
    bool current = f8_exists(k.module_file, nullptr) == 0 &&
                   strcmp(read_check_text(ma, k.archive_check_file), archive_check) == 0 &&
                   strcmp(read_check_text(ma, k.config_check_file), config) == 0;
    if (!current && make_module(st, ma, &k, archive_check, config) != 0)
        return;
    if (load_kmod) {
        const char* insmod_argv[] = {"/sbin/insmod", k.module_file, nullptr};
        (void)qpinst_run_(st, false, insmod_argv);
    }
}

void qpinst_copy_kernel(qpinst_stat_t* st, const char* src_folder, const char* name)
{
    if (qpinst_skipped_(st))
        return;
    qpfd::scratch_pool pool;
    malloc_i* ma = pool.ma();
    const char* archive_name = ss8formatm(ma, "%s%s", name, kmod_ext);
    const char* folder = f8_path_complete(ma, nullptr, src_folder);
    const char* archive = folder && archive_name ? f8_path_cat(ma, folder, archive_name) : nullptr;
    if (!archive) {
        st->err = err_no_mem;
        return;
    }
    if (f8_exists(archive, nullptr) != 0)
        folder = f8_path_complete(ma, folder, "..");
    qpinst_copy_opt(st, 0, folder, archive_name, kmod_folder, nullptr);
    qpinst_update_kmod(st, name, false);
}

void qpinst_delete_kernel(qpinst_stat_t* st, const char* name)
{
    qpfd::scratch_pool pool;
    malloc_i* ma = pool.ma();
    const char* archive_name = ss8formatm(ma, "%s%s", name, kmod_ext);
    qpinst_delete_file(st, kmod_folder, archive_name);
    if (qpinst_skipped_(st))
        return;
    f8_list_i* list = nullptr;
    if (f8_list_factory(&list, kmod_folder, file_list_flag_no_follow) != 0)
        return;
    const char* entry = nullptr;
    file_attribs_t attribs;
    while ((*list)->next(list, &entry, nullptr, &attribs) == 0) {
        if (!attribs.is_folder || attribs.is_symlink)
            continue;
        const char* module_folder = f8_path_cat(ma, entry, name);
        struct stat st_module;
        if (!module_folder || f8_lstat(module_folder, &st_module) != 0)
            continue;
        int err = f8_delete_tree(module_folder);
        if (err) {
            st->err = err;
            qpinst_outf(st, "ERROR: Unable to delete file \"%s\"\n", module_folder);
        }
    }
    (*list)->release(list);
}

int f8_load_kernel(const char* name)
{
    qpinst_stat_t st = {qpinst_drop_output, false, 0};
    qpinst_update_kmod(&st, name, true);
    return st.err;
}

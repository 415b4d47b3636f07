// filekey.cpp - the file key store: keys are folders, values are files.
//
// An fkey_t is one debug-heap block: the header, the key's own folder name
// and the defaults folder name behind it. A listing (fkey_list_t) is one
// block too, with copies of both folder names, so it stays valid whatever
// happens to the key. Invariants: tag is FKEY_TAG (FKEY_LIST_TAG) from open
// to close; folder_name is empty only for a domain-3 key opened for reading
// whose own folder is missing; defaults_folder_name is empty outside
// domain 3.
//
// No locks: every call opens, uses and closes its own files, so concurrent
// writers of one value race at file level (see fkey_set_string).
#include "filekey.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "qperr.h"
#include "qpfile.h"
#include "qpsys.h"
#include "ssformat.h"
#include "sstring.h"

struct fkey_list_t {
    uint32_t tag;
    int folder_name_pos;     // folders still to list, counted down from 2
    f8_list_i* flist;        // the listing of folder_names[folder_name_pos]
    const char* folder_names[2]; // [0] the defaults folder or null, [1] the own folder or null
    char name_data[];        // the copies the names point at
};

namespace {

const char system_root[] = "/etc";
const char user_subfolder[] = ".local/etc";

// A key or value name that stays inside its folder: not empty, not "." or
// "..", and (for value names) without a separator.
bool is_plain_name(const char* name, bool allow_separator)
{
    if (!name || !*name)
        return false;
    if (!allow_separator && ss8chrc(name, '/'))
        return false;
    if (name[0] == '/')
        return false;
    // No component may be "." or "..".
    for (const char* part = name; part;) {
        const char* end = ss8chrc(part, '/');
        size_t len = end ? static_cast<size_t>(end - part) : strlen(part);
        if ((len == 1 && part[0] == '.') || (len == 2 && part[0] == '.' && part[1] == '.'))
            return false;
        part = end ? end + 1 : nullptr;
    }
    return true;
}

bool is_folder(const char* name)
{
    int folder = 0;
    return name && *name && f8_exists(name, &folder) == 0 && folder;
}

bool is_file(const char* name)
{
    int folder = 0;
    return f8_exists(name, &folder) == 0 && !folder;
}

// "<folder>/<name>" from the pool, or null.
char* value_path(qp_scratch_pool& pool, const char* folder, const char* name)
{
    return ss8formatm(pool.ma(), "%s/%s", folder, name);
}

// Copies text into dest and returns the position behind its terminator.
char* put_text(char* dest, const char* text)
{
    size_t len = strlen(text) + 1;
    memcpy(dest, text, len);
    return dest + len;
}

enum class open_mode { create, write, read };

// Builds the key's folder names and opens it as the Algorithms describe.
fkey_t* fkey_open(int domain, const char* key_name, open_mode mode)
{
    if (domain < fkey_domain_system || domain > fkey_domain_both ||
        !is_plain_name(key_name, true))
        return nullptr;
    qp_scratch_pool pool;
    const char* system_folder = ss8formatm(pool.ma(), "%s/%s", system_root, key_name);
    // Joined, not formatted: a home folder of "/" must not give "//...",
    // which would read as a server name.
    const char* user_root = f8_path_cat(pool.ma(), env_get_home_folder(), user_subfolder);
    const char* user_folder = domain == fkey_domain_system ? ""
                              : user_root ? ss8formatm(pool.ma(), "%s/%s", user_root, key_name)
                                          : nullptr;
    if (!system_folder || !user_folder)
        return nullptr;
    const char* own = domain == fkey_domain_system ? system_folder : user_folder;
    const char* defaults = domain == fkey_domain_both ? system_folder : "";

    if (!is_folder(own)) {
        if (mode == open_mode::create) {
            if (f8_create_full_folder(own) != 0 || !is_folder(own))
                return nullptr;
        } else if (mode == open_mode::read && is_folder(defaults)) {
            own = "";
        } else {
            return nullptr;
        }
    }
    size_t own_size = strlen(own) + 1;
    fkey_t* key = static_cast<fkey_t*>(malloc_d(sizeof(fkey_t) + own_size + strlen(defaults) + 1));
    if (!key)
        return nullptr;
    char* end = put_text(key->folder_name, own);
    put_text(end, defaults);
    key->defaults_folder_name = end;
    key->tag = FKEY_TAG;
    return key;
}

void check_key(const fkey_t* key)
{
    QP_ASSERT(key->tag == FKEY_TAG);
}

// Writes all of text at offset 0; returns the bytes written before a failure.
size_t write_at_start(int fd, const char* text, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pwrite(fd, text + done, len - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// Opens the value file for reading and writing, creating it with mode 0664
// when it does not exist; -1 on failure.
int open_value_for_write(const char* path)
{
    int fd = -1;
    if (f8_open(&fd, path, fof_read_data | fof_write_data) == 0)
        return fd;
    if (f8_create(&fd, path, fof_read_data | fof_write_data) != 0)
        return -1;
    fd_set_flags(fd, 0, 0, 0, file_perm_group_read | file_perm_group_write | file_perm_world_read);
    return fd;
}

// The next entry of the current folder listing that is a file to report;
// null when the listing is done.
const char* next_in_folder(fkey_list_t* list, bool is_defaults)
{
    const char* name = nullptr;
    size_t end_index = 0;
    file_attribs_t attribs;
    while ((*list->flist)->next(list->flist, &name, &end_index, &attribs) == 0) {
        if (attribs.is_folder)
            continue;
        const char* own = list->folder_names[1];
        if (is_defaults && own) {
            qp_scratch_pool pool;
            const char* hiding = value_path(pool, own, name + end_index);
            if (hiding && is_file(hiding))
                continue;
        }
        return name + end_index;
    }
    return nullptr;
}

} // namespace

extern "C" {

fkey_t* fkey_create(int domain, const char* key_name)
{
    return fkey_open(domain, key_name, open_mode::create);
}

fkey_t* fkey_write(int domain, const char* key_name)
{
    return fkey_open(domain, key_name, open_mode::write);
}

fkey_t* fkey_read(int domain, const char* key_name)
{
    return fkey_open(domain, key_name, open_mode::read);
}

void fkey_close(fkey_t* key)
{
    if (!key)
        return;
    check_key(key);
    key->tag = 0;
    free_d(key);
}

char* fkey_get_string(fkey_t* key, malloc_i* res_ma, const char* value_name, const char* def)
{
    if (key)
        check_key(key);
    if (key && is_plain_name(value_name, false)) {
        qp_scratch_pool pool;
        const char* folders[] = {key->folder_name, key->defaults_folder_name};
        for (const char* folder : folders) {
            const char* path = *folder ? value_path(pool, folder, value_name) : nullptr;
            void* data = nullptr;
            size_t size = 0;
            if (!path || !is_file(path))
                continue;
            if (f8_read_data(res_ma, path, FKEY_MAX_VALUE_SIZE, &data, &size) == 0)
                return static_cast<char*>(data);
            break;
        }
    }
    return def ? ss8cpym(res_ma, def) : nullptr;
}

void fkey_set_string(fkey_t* key, const char* value_name, const char* text)
{
    if (!key)
        return;
    check_key(key);
    if (!*key->folder_name || !is_plain_name(value_name, false) || !text)
        return;
    qp_scratch_pool pool;
    const char* path = value_path(pool, key->folder_name, value_name);
    int fd = path ? open_value_for_write(path) : -1;
    if (fd < 0)
        return;
    size_t len = strlen(text);
    size_t written = write_at_start(fd, text, len);
    // A value is either the whole new text or empty, never old and new mixed.
    if (written > 0 && ftruncate(fd, static_cast<off_t>(written == len ? len : 0)) != 0)
        (void)ftruncate(fd, 0);
    fd_close(fd);
}

void fkey_delete_val(fkey_t* key, const char* value_name)
{
    if (!key)
        return;
    check_key(key);
    if (!*key->folder_name || !is_plain_name(value_name, false))
        return;
    qp_scratch_pool pool;
    const char* path = value_path(pool, key->folder_name, value_name);
    if (path && is_file(path))
        f8_delete(path);
}

fkey_list_t* fkey_list_val(fkey_t* key)
{
    if (!key)
        return nullptr;
    check_key(key);
    const char* names[2] = {key->defaults_folder_name, key->folder_name};
    size_t size = sizeof(fkey_list_t) + strlen(names[0]) + strlen(names[1]) + 2;
    fkey_list_t* list = static_cast<fkey_list_t*>(calloc_d(1, size));
    if (!list)
        return nullptr;
    char* end = list->name_data;
    for (int i = 0; i < 2; i++) {
        list->folder_names[i] = *names[i] ? end : nullptr;
        end = put_text(end, names[i]);
    }
    list->tag = FKEY_LIST_TAG;
    list->folder_name_pos = 2;
    return list;
}

const char* fkey_list_next(fkey_list_t* list)
{
    if (!list)
        return nullptr;
    QP_ASSERT(list->tag == FKEY_LIST_TAG);
    for (;;) {
        if (list->flist) {
            const char* name = next_in_folder(list, list->folder_name_pos == 0);
            if (name)
                return name;
            (*list->flist)->release(list->flist);
            list->flist = nullptr;
        }
        if (list->folder_name_pos == 0)
            return nullptr;
        const char* folder = list->folder_names[--list->folder_name_pos];
        // A folder that cannot be listed is skipped.
        if (folder && f8_list_factory(&list->flist, folder, 0) != 0)
            list->flist = nullptr;
    }
}

void fkey_list_close(fkey_list_t* list)
{
    if (!list)
        return;
    QP_ASSERT(list->tag == FKEY_LIST_TAG);
    if (list->flist)
        (*list->flist)->release(list->flist);
    list->tag = 0;
    free_d(list);
}

} // extern "C"

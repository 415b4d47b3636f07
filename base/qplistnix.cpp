// qplistnix.cpp - folder listing on Linux (f8_list_i).
//
// A listing owns its open folder (close-on-exec) and one heap buffer that
// holds the folder's completed path, a '/', and room for the longest entry
// name (NAME_MAX) behind it;
// the name handed out by next points into that buffer and stays valid until
// the following call. "." and ".." are skipped. Attributes come from the
// entry itself (fstatat relative to the open folder, so a name is never
// resolved twice against a changing path); a link is followed to its target
// unless file_list_flag_no_follow is set. An entry whose own status cannot be
// read is reported as a broken link; a link whose target cannot be read is
// reported broken with that error in attribs->err. A listing is used by one
// thread at a time; no locks.
#include "qpfile.h"

#include "qperr.h"
#include "qpsys.h"
#include "qpsysnix.hpp"
#include "sstring.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

struct folder_list_t {
    f8_list_i vtbl; // first: the interface pointer is the object's address
    DIR* dir;
    int flags;
    char* path;       // folder path, '/', then the current entry's name
    size_t name_pos;  // where entry names start in path
    size_t path_size; // name_pos + NAME_MAX + 1
};

folder_list_t* list_of(f8_list_i* list)
{
    return reinterpret_cast<folder_list_t*>(list);
}

void list_release(f8_list_i* list)
{
    folder_list_t* self = list_of(list);
    if (self->dir)
        closedir(self->dir);
    free_d(self->path);
    free_d(self);
}

// Places name behind the folder path; the buffer has room for the longest
// name an entry can have.
void set_entry_name(folder_list_t* self, const char* name)
{
    size_t len = strlen(name);
    QP_ASSERT(self->name_pos + len < self->path_size);
    memcpy(self->path + self->name_pos, name, len + 1);
}

void entry_attribs(folder_list_t* self, const char* name, file_attribs_t* out)
{
    struct stat own, target;
    int dir_fd = dirfd(self->dir);
    if (fstatat(dir_fd, name, &own, AT_SYMLINK_NOFOLLOW) != 0) {
        memset(out, 0, sizeof(*out));
        out->err = qpfd::last_error();
        out->is_symlink = out->is_broken = 1;
        return;
    }
    if (!S_ISLNK(own.st_mode) || (self->flags & file_list_flag_no_follow)) {
        file_attribs_from_stat(out, &own);
        return;
    }
    if (fstatat(dir_fd, name, &target, 0) != 0) {
        int err = qpfd::last_error();
        file_attribs_from_stat(out, &own);
        out->is_broken = 1;
        out->err = err;
        return;
    }
    file_attribs_from_stat(out, &target);
    out->is_symlink = out->is_target = 1;
}

int list_next(f8_list_i* list, const char** out_name, size_t* out_end_index,
              file_attribs_t* out_attribs)
{
    folder_list_t* self = list_of(list);
    if (out_name)
        *out_name = nullptr;
    if (out_end_index)
        *out_end_index = 0;
    if (out_attribs)
        memset(out_attribs, 0, sizeof(*out_attribs));
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(self->dir);
        if (!entry)
            return errno ? errno : err_no_more_files;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        set_entry_name(self, name);
        if (out_attribs && !(self->flags & file_list_flag_names_only))
            entry_attribs(self, name, out_attribs);
        if (out_name)
            *out_name = self->path;
        if (out_end_index)
            *out_end_index = self->name_pos;
        return 0;
    }
}

const f8_list_i_vtbl_t folder_list_vtbl = {list_release, list_next};

// Opens the folder and records its path with a separator behind it.
int open_folder(folder_list_t* self, const char* path)
{
    qpfd::unique_fd fd;
    int err = qpfd::open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY, 0, &fd);
    if (err)
        return err;
    self->dir = fdopendir(fd.get());
    if (!self->dir)
        return qpfd::last_error();
    fd.release();
    size_t len = strlen(path);
    bool has_sep = len > 0 && path[len - 1] == '/';
    self->name_pos = len + (has_sep ? 0 : 1);
    self->path_size = self->name_pos + NAME_MAX + 1;
    self->path = static_cast<char*>(malloc_d(self->path_size));
    if (!self->path)
        return err_no_mem;
    memcpy(self->path, path, len);
    self->path[len] = '/';
    return 0;
}

} // namespace

int f8_list_factory_dh(const char* file, int line, f8_list_i** out_list, const char* folder,
                       int flags)
{
    *out_list = nullptr;
    int err = qpfd::check_name(folder);
    if (err)
        return err;
    auto self = static_cast<folder_list_t*>(calloc_dh(file, line, 1, sizeof(folder_list_t)));
    if (!self)
        return err_no_mem;
    self->vtbl = &folder_list_vtbl;
    self->flags = flags;
    qpfd::scratch_pool pool;
    char* path = f8_path_complete(pool.ma(), nullptr, folder);
    err = path ? open_folder(self, path) : err_bad_name;
    if (err) {
        list_release(&self->vtbl);
        return err;
    }
    *out_list = &self->vtbl;
    return 0;
}

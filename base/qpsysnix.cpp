// qpsysnix.cpp - the platform side of the path algebra on Linux: the current
// folder, users' home folders, completion of a name to an absolute path and
// the search for an executable along a folder list.
//
// Temporary texts live in a scratch pool per call; results come from the
// caller's allocator. The wide forms convert to UTF-8, run the UTF-8 form
// and convert the result back. No state, no locks.
#include "qpsys.h"

#include "qpfile.h"
#include "qpsysnix.hpp"
#include "sstring.h"

#include <cerrno>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using qpfd::heap_block;
using qpfd::scratch_pool;

// A user part after '~' longer than this is an ordinary name.
const size_t user_name_max = 100;
// Only this much of each suffix of a search is appended.
const size_t suffix_max = 8;

bool is_rooted(const char* path)
{
    int rooted = 0;
    return f8_path_parse(path, nullptr, &rooted, nullptr, nullptr) == 0 && rooted;
}

bool is_file(const char* path)
{
    int is_folder = 0;
    return f8_exists(path, &is_folder) == 0 && !is_folder;
}

const char* env_text(const char* name)
{
    const char* value = env_get_val(name);
    return value && *value ? value : nullptr;
}

// The home folder a '~' stands for, or null when there is none: for an
// empty user part HOME or the home of USER, else the named user's.
char* tilde_home(malloc_i* ma, const char* user, size_t user_len)
{
    if (user_len == 0) {
        if (const char* home = env_text("HOME"))
            return ss8cpym(ma, home);
        const char* login = env_text("USER");
        return login ? f8_get_user_folder(ma, login) : nullptr;
    }
    if (user_len >= user_name_max)
        return nullptr;
    char login[user_name_max];
    ss8cpyn(login, sizeof(login), user, user_len);
    return f8_get_user_folder(ma, login);
}

// Steps through the non-empty entries of a ':'-separated list.
bool next_list_entry(const char** pos, const char** out_start, size_t* out_len)
{
    const char* p = *pos;
    while (p && *p == ':')
        p++;
    if (!p || !*p)
        return false;
    const char* end = ss8chrc(p, ':');
    if (!end)
        end = p + ss8len(p);
    *out_start = p;
    *out_len = static_cast<size_t>(end - p);
    *pos = end;
    return true;
}

bool ends_with_suffix(const char* name, const char* suffix_list)
{
    size_t name_len = ss8len(name), len;
    const char *pos = suffix_list, *suffix;
    while (next_list_entry(&pos, &suffix, &len)) {
        if (len <= name_len && ss8asciicmpin(name + name_len - len, len, suffix, len) == 0)
            return true;
    }
    return false;
}

// The first existing non-folder of name completed against folder, with each
// suffix in turn and then bare.
char* try_folder(malloc_i* res_ma, malloc_i* scratch, const char* folder, const char* name,
                 const char* suffix_list)
{
    char* path = f8_path_complete(scratch, folder, name);
    if (!path)
        return nullptr;
    size_t path_len = ss8len(path), len;
    const char *pos = suffix_list, *suffix;
    while (next_list_entry(&pos, &suffix, &len)) {
        char* candidate = ss8catmn(scratch, path, path_len, suffix, len < suffix_max ? len : suffix_max);
        if (candidate && is_file(candidate))
            return ss8cpym(res_ma, candidate);
    }
    return is_file(path) ? ss8cpym(res_ma, path) : nullptr;
}

char* current_folder_text(malloc_i* ma)
{
    for (size_t size = 1024; size <= 1024 * 1024; size *= 2) {
        heap_block buffer(size);
        if (!buffer.get())
            return nullptr;
        if (getcwd(buffer.get(), size))
            return ss8cpym(ma, buffer.get());
        if (errno != ERANGE)
            break;
    }
    return ss8cpym(ma, "/");
}

// Runs an allocating UTF-8 path operation on wide text.
template <typename Op>
wchar_t* wide_result(malloc_i* res_ma, Op op)
{
    scratch_pool pool;
    char* result = op(pool.ma());
    return result ? sswconv8m(res_ma, result) : nullptr;
}

char* utf8_of(malloc_i* ma, const wchar_t* text)
{
    return text ? ss8convwm(ma, text) : nullptr;
}

} // namespace

char* f8_get_current_folder(malloc_i* res_ma)
{
    scratch_pool pool;
    char* cwd = current_folder_text(pool.ma());
    if (!cwd)
        return nullptr;
    // A PWD naming the same folder keeps the path by which it was reached.
    const char* pwd = env_text("PWD");
    struct stat by_pwd, by_cwd;
    if (pwd && is_rooted(pwd) && ss8cmp(pwd, cwd) != 0 && stat(pwd, &by_pwd) == 0 &&
        stat(cwd, &by_cwd) == 0 && by_pwd.st_dev == by_cwd.st_dev && by_pwd.st_ino == by_cwd.st_ino)
        return ss8cpym(res_ma, pwd);
    return ss8cpym(res_ma, cwd);
}

wchar_t* fw_get_current_folder(malloc_i* res_ma)
{
    return wide_result(res_ma, [](malloc_i* ma) { return f8_get_current_folder(ma); });
}

char* f8_get_user_folder(malloc_i* res_ma, const char* user)
{
    if (!user || !*user)
        return ss8cpym(res_ma, "/");
    for (size_t size = 4096; size <= 1024 * 1024; size *= 2) {
        heap_block buffer(size);
        if (!buffer.get())
            return nullptr;
        struct passwd entry, *found = nullptr;
        int err = getpwnam_r(user, &entry, buffer.get(), size, &found);
        if (err == ERANGE)
            continue;
        if (err == 0 && found && found->pw_dir && *found->pw_dir)
            return ss8cpym(res_ma, found->pw_dir);
        break;
    }
    return ss8cpym(res_ma, "/");
}

wchar_t* fw_get_user_folder(malloc_i* res_ma, const wchar_t* user)
{
    return wide_result(res_ma,
                       [user](malloc_i* ma) { return f8_get_user_folder(ma, utf8_of(ma, user)); });
}

char* f8_path_complete(malloc_i* res_ma, const char* def_folder, const char* name)
{
    scratch_pool pool;
    const char* base = def_folder;
    const char* rest = (name && *name) ? name : ".";
    if (rest[0] == '~') {
        const char* slash = ss8chrc(rest, '/');
        size_t user_len = slash ? static_cast<size_t>(slash - rest - 1) : ss8len(rest) - 1;
        if (char* home = tilde_home(pool.ma(), rest + 1, user_len)) {
            base = home;
            rest = (slash && slash[1]) ? slash + 1 : ".";
        }
    }
    size_t volume_len = 0;
    int rooted = 0;
    if (f8_path_parse(rest, &volume_len, &rooted, nullptr, nullptr) != 0)
        return nullptr;
    if (rooted)
        return f8_path_normalize(res_ma, rest);
    if (!base || !*base || ss8cmp(base, ".") == 0)
        base = f8_get_current_folder(pool.ma());
    else if (!is_rooted(base)) {
        char* cwd = f8_get_current_folder(pool.ma());
        base = cwd ? f8_path_cat(pool.ma(), cwd, base) : nullptr;
    }
    if (!base || !is_rooted(base))
        return nullptr;
    char* joined = f8_path_cat(pool.ma(), base, rest + volume_len);
    return joined ? f8_path_normalize(res_ma, joined) : nullptr;
}

wchar_t* fw_path_complete(malloc_i* res_ma, const wchar_t* def_folder, const wchar_t* name)
{
    return wide_result(res_ma, [def_folder, name](malloc_i* ma) {
        return f8_path_complete(ma, utf8_of(ma, def_folder), utf8_of(ma, name));
    });
}

char* f8_search(malloc_i* res_ma, int flags, const char* exec_folder, const char* search_path,
                const char* name, const char* suffix_list)
{
    if (!name || !*name)
        return nullptr;
    scratch_pool pool;
    const char* suffixes = ends_with_suffix(name, suffix_list) ? nullptr : suffix_list;
    char* found = nullptr;
    if (exec_folder && *exec_folder)
        found = try_folder(res_ma, pool.ma(), exec_folder, name, suffixes);
    bool name_has_sep = ss8chrc(name, '/') != nullptr;
    if (!found && ((flags & fsf_current_folder) || ((flags & fsf_current_folder_if) && name_has_sep)))
        found = try_folder(res_ma, pool.ma(), ".", name, suffixes);
    if (!found && (!search_path || !*search_path) && (flags & fsf_path))
        search_path = env_get_val("PATH");
    const char *pos = search_path, *entry;
    size_t len;
    while (!found && next_list_entry(&pos, &entry, &len)) {
        char* folder = ss8cpymn(pool.ma(), entry, len);
        if (folder)
            found = try_folder(res_ma, pool.ma(), folder, name, suffixes);
    }
    return found;
}

wchar_t* fw_search(malloc_i* res_ma, int flags, const wchar_t* exec_folder,
                   const wchar_t* search_path, const wchar_t* name, const wchar_t* suffix_list)
{
    return wide_result(res_ma, [=](malloc_i* ma) {
        return f8_search(ma, flags, utf8_of(ma, exec_folder), utf8_of(ma, search_path),
                         utf8_of(ma, name), utf8_of(ma, suffix_list));
    });
}

// qpenv.cpp - the process record and the environment links.
//
// qpsys_proc_info holds the process facts in wide form. Each value is
// computed on first use outside any lock and published with a
// compare-exchange; a thread that loses frees its own copy and takes the
// winner's. Published values never change until the exit handler releases
// them; from then on every getter returns its default, so that late exit
// code neither recomputes (which would leak) nor reads freed text.
//
// The environment links cache UTF-8 forms of the same facts for the env_get_
// calls. A link computes its value once under env_link_lock and joins the
// chain that the links' exit handler releases; afterwards every link returns
// its default.
//
// proc_mutex guards the environment capture and the locale setting.
#include "qpsys.h"

#include "qpfile.h"
#include "qpsync.h"
#include "qpsysnix.hpp"
#include "sstring.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

qpsys_proc_info_t qpsys_proc_info;

namespace {

using qpfd::heap_block;
using qpfd::scratch_pool;

const char default_exec_file[] = "/_";
const char default_folder[] = "/";
const char default_command[] = "_";
const char default_machine[] = ".";

qp_heap_ma_t record_heap = QP_HEAP_MA_INIT;
sync_t proc_mutex = SYNC_INIT;
int record_released;
int record_exit_registered;
bool locale_initialised;

malloc_i* heap_ma()
{
    return &record_heap.vtbl;
}

bool released()
{
    return __atomic_load_n(&record_released, __ATOMIC_ACQUIRE) != 0;
}

template <typename T>
T* load_slot(T* const* slot)
{
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}

void release_record()
{
    __atomic_store_n(&record_released, 1, __ATOMIC_RELEASE);
    qpsys_proc_info_t& r = qpsys_proc_info;
    void* slots[] = {r.argv8,     r.argvw,       r.envp8,   r.envpw,       r.exec_file,
                     r.exec_folder, r.command,   r.machine, r.home_folder, r.current_folder};
    r = qpsys_proc_info_t();
    for (void* value : slots)
        free_d(value);
}

// Publishes value into an empty slot; returns what the slot holds.
template <typename T>
T* publish(T** slot, T* value)
{
    T* expected = nullptr;
    if (!__atomic_compare_exchange_n(slot, &expected, value, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        free_d(value);
        return expected;
    }
    if (sync_xchg(&record_exit_registered, 0, 1))
        atexit(release_record);
    return value;
}

bool is_file(const char* path)
{
    int is_folder = 0;
    return path && f8_exists(path, &is_folder) == 0 && !is_folder;
}

// The last component of a path ("" when it ends with a separator).
const char* last_component(const char* path)
{
    size_t name_index = 0;
    if (f8_path_parse(path, nullptr, nullptr, &name_index, nullptr) != 0)
        return "";
    return path + name_index;
}

// A file's folder: the path without its last component and the separator
// before it, except that a root separator stays.
char* folder_of(malloc_i* ma, const char* file)
{
    size_t volume_len = 0, name_index = 0;
    int rooted = 0;
    if (f8_path_parse(file, &volume_len, &rooted, &name_index, nullptr) != 0 ||
        name_index == volume_len)
        return ss8cpym(ma, default_folder);
    size_t folder_len = name_index - 1;
    if (rooted && folder_len == volume_len)
        folder_len++; // the root separator
    return ss8cpymn(ma, file, folder_len);
}

char* read_link(malloc_i* ma, const char* path)
{
    for (size_t size = 1024; size <= 1024 * 1024; size *= 2) {
        heap_block buffer(size);
        if (!buffer.get())
            return nullptr;
        ssize_t len = readlink(path, buffer.get(), size);
        if (len < 0)
            return nullptr;
        if (static_cast<size_t>(len) < size)
            return ss8cpymn(ma, buffer.get(), static_cast<size_t>(len));
    }
    return nullptr;
}

// Rules (a) to (c): the executable named by argv[0].
char* exec_file_of_argv0(malloc_i* ma, const char* argv0)
{
    int rooted = 0;
    f8_path_parse(argv0, nullptr, &rooted, nullptr, nullptr);
    if (rooted || ss8chrc(argv0, '/')) {
        char* completed = f8_path_complete(ma, nullptr, argv0);
        if (is_file(completed))
            return completed;
    }
    // The shell's "_" names the file it started, when it is this one.
    const char* underscore = env_get_val("_");
    int underscore_rooted = 0;
    if (underscore && f8_path_parse(underscore, nullptr, &underscore_rooted, nullptr, nullptr) == 0 &&
        underscore_rooted && ss8cmp(last_component(underscore), last_component(argv0)) == 0 &&
        is_file(underscore))
        return f8_path_normalize(ma, underscore);
    return f8_search(ma, fsf_exec, nullptr, nullptr, argv0, nullptr);
}

char* compute_exec_file(malloc_i* ma)
{
    char** argv8 = load_slot(&qpsys_proc_info.argv8);
    char* found = (argv8 && argv8[0] && argv8[0][0]) ? exec_file_of_argv0(ma, argv8[0]) : nullptr;
    if (!found)
        found = read_link(ma, "/proc/self/exe");
    return found ? found : ss8cpym(ma, default_exec_file);
}

char* exec_file_utf8(malloc_i* ma)
{
    return ss8convwm(ma, proc_get_exec_file());
}

char* compute_exec_folder(malloc_i* ma)
{
    char* file = exec_file_utf8(ma);
    return file ? folder_of(ma, file) : nullptr;
}

char* compute_command(malloc_i* ma)
{
    char** argv8 = load_slot(&qpsys_proc_info.argv8);
    const char* source = argv8 ? argv8[0] : exec_file_utf8(ma);
    if (!source)
        return nullptr;
    const char* name = last_component(source);
    return ss8cpym(ma, *name ? name : default_command);
}

char* compute_machine(malloc_i* ma)
{
    char host[256];
    if (gethostname(host, sizeof(host)) != 0)
        host[0] = 0;
    host[sizeof(host) - 1] = 0;
    if (host[0] != '.') {
        if (char* dot = ss8chr(host, '.'))
            *dot = 0;
    }
    return ss8cpym(ma, host[0] ? host : default_machine);
}

char* compute_home_folder(malloc_i* ma)
{
    const char* home = env_get_val("HOME");
    const char* user = env_get_val("USER");
    // Without either, "~" names no home folder at all.
    if ((!home || !*home) && (!user || !*user))
        return ss8cpym(ma, default_folder);
    return f8_path_complete(ma, nullptr, "~");
}

// The value in slot, computed and published on first use; def when it
// cannot be computed or after the exit handler ran.
const wchar_t* record_value(wchar_t** slot, char* (*compute)(malloc_i*), const wchar_t* def)
{
    if (released())
        return def;
    if (wchar_t* value = load_slot(slot))
        return value;
    scratch_pool pool;
    char* text = compute(pool.ma());
    wchar_t* wide = text ? sswconv8m(heap_ma(), text) : nullptr;
    return wide ? publish(slot, wide) : def;
}

// ---- environment links ------------------------------------------------------

struct env_link_t {
    const char* def;
    char* (*compute)(malloc_i* ma);
    char* value; // heap copy, owned by the link
    env_link_t* next;
};

sync_t env_link_lock = SYNC_INIT;
env_link_t* env_link_first;
bool env_links_released;

void release_env_links()
{
    sync_lock(&env_link_lock);
    env_links_released = true;
    env_link_t* link = env_link_first;
    env_link_first = nullptr;
    sync_unlock(&env_link_lock);
    for (; link; link = link->next) {
        free_d(link->value);
        link->value = nullptr;
    }
}

const char* env_link_get(env_link_t* link)
{
    sync_lock(&env_link_lock);
    if (!env_links_released && !link->value) {
        link->value = link->compute(heap_ma());
        if (link->value) {
            if (!env_link_first)
                atexit(release_env_links);
            link->next = env_link_first;
            env_link_first = link;
        }
    }
    const char* value = (!env_links_released && link->value) ? link->value : link->def;
    sync_unlock(&env_link_lock);
    return value;
}

char* module_folder_utf8(malloc_i* ma)
{
    Dl_info info;
    int rooted = 0;
    if (dladdr(reinterpret_cast<void*>(&env_get_module_folder), &info) && info.dli_fname &&
        f8_path_parse(info.dli_fname, nullptr, &rooted, nullptr, nullptr) == 0 && rooted)
        return folder_of(ma, info.dli_fname);
    return ss8convwm(ma, proc_get_exec_folder());
}

template <const wchar_t* (*Getter)()>
char* record_utf8(malloc_i* ma)
{
    return ss8convwm(ma, Getter());
}

env_link_t exec_file_link = {default_exec_file, record_utf8<proc_get_exec_file>, nullptr, nullptr};
env_link_t exec_folder_link = {default_folder, record_utf8<proc_get_exec_folder>, nullptr, nullptr};
env_link_t module_folder_link = {default_folder, module_folder_utf8, nullptr, nullptr};
env_link_t command_link = {default_command, record_utf8<proc_get_command>, nullptr, nullptr};
env_link_t home_folder_link = {default_folder, record_utf8<proc_get_home_folder>, nullptr, nullptr};
env_link_t current_folder_link = {default_folder, record_utf8<proc_get_current_folder>, nullptr,
                                  nullptr};

bool is_plain_locale(const char* name)
{
    return !name || !*name || strcmp(name, "C") == 0 || strcmp(name, "POSIX") == 0;
}

} // namespace

// ---- arguments ----------------------------------------------------------------

void proc_set_argv_main(int argc, char** argv)
{
    QP_ASSERT(argc > 0);
    QP_ASSERT(!qpsys_proc_info.argv8 && !qpsys_proc_info.argvw);
    scratch_pool pool;
    // Exactly argc entries, whatever follows them in the caller's vector.
    auto vector = static_cast<const char**>(ma_alloc(pool.ma(), sizeof(char*) * (size_t)(argc + 1)));
    if (!vector)
        return;
    for (int i = 0; i < argc; i++)
        vector[i] = argv[i] ? argv[i] : "";
    char** argv8 = ss8vcpym(heap_ma(), vector);
    wchar_t** argvw = sswvconv8m(heap_ma(), vector);
    if (!argv8 || !argvw) {
        free_d(argv8);
        free_d(argvw);
        return;
    }
    QP_ASSERT(publish(&qpsys_proc_info.argvw, argvw) == argvw);
    qpsys_proc_info.argc = argc;
    QP_ASSERT(publish(&qpsys_proc_info.argv8, argv8) == argv8);
    char* exec_file = exec_file_utf8(pool.ma());
    if (exec_file && ss8cmp(exec_file, default_exec_file) != 0)
        setenv("_", exec_file, 1);
    else
        unsetenv("_");
}

char** proc_get_argv8(int* out_argc)
{
    char** argv8 = released() ? nullptr : load_slot(&qpsys_proc_info.argv8);
    if (out_argc)
        *out_argc = argv8 ? qpsys_proc_info.argc : 0;
    return argv8;
}

// ---- process facts ------------------------------------------------------------

const wchar_t* proc_get_exec_file(void)
{
    return record_value(&qpsys_proc_info.exec_file, compute_exec_file, L"/_");
}

const wchar_t* proc_get_exec_folder(void)
{
    return record_value(&qpsys_proc_info.exec_folder, compute_exec_folder, L"/");
}

const wchar_t* proc_get_command(void)
{
    return record_value(&qpsys_proc_info.command, compute_command, L"_");
}

const wchar_t* proc_get_machine(void)
{
    return record_value(&qpsys_proc_info.machine, compute_machine, L".");
}

const wchar_t* proc_get_home_folder(void)
{
    return record_value(&qpsys_proc_info.home_folder, compute_home_folder, L"/");
}

const wchar_t* proc_get_current_folder(void)
{
    return record_value(&qpsys_proc_info.current_folder, f8_get_current_folder, L"/");
}

wchar_t** proc_get_envp(void)
{
    static wchar_t* empty_envp[] = {nullptr};
    if (released())
        return empty_envp;
    if (wchar_t** envpw = load_slot(&qpsys_proc_info.envpw))
        return envpw;
    sync_lock(&proc_mutex);
    if (!qpsys_proc_info.envpw) {
        char** envp8 = ss8vcpym(heap_ma(), environ);
        wchar_t** envpw = sswvconv8m(heap_ma(), environ);
        if (envp8 && envpw) {
            publish(&qpsys_proc_info.envp8, envp8);
            publish(&qpsys_proc_info.envpw, envpw);
        } else {
            free_d(envp8);
            free_d(envpw);
        }
    }
    wchar_t** envpw = qpsys_proc_info.envpw;
    sync_unlock(&proc_mutex);
    return envpw ? envpw : empty_envp;
}

// ---- environment links ----------------------------------------------------------

const char* env_get_exec_file(void)
{
    return env_link_get(&exec_file_link);
}

const char* env_get_exec_folder(void)
{
    return env_link_get(&exec_folder_link);
}

const char* env_get_module_folder(void)
{
    return env_link_get(&module_folder_link);
}

const char* env_get_command(void)
{
    return env_link_get(&command_link);
}

const char* env_get_home_folder(void)
{
    return env_link_get(&home_folder_link);
}

const char* env_get_current_folder(void)
{
    return env_link_get(&current_folder_link);
}

// ---- environment and locale -----------------------------------------------------

void proc_init_locale(void)
{
    sync_lock(&proc_mutex);
    if (!locale_initialised) {
        locale_initialised = true;
        if (is_plain_locale(setlocale(LC_CTYPE, nullptr))) {
            setlocale(LC_CTYPE, "");
            if (is_plain_locale(setlocale(LC_CTYPE, nullptr)))
                setlocale(LC_CTYPE, "en_US.UTF-8");
        }
    }
    sync_unlock(&proc_mutex);
}

int env_is_user_privileged(void)
{
    return geteuid() == 0;
}

const char* env_get_val(const char* name)
{
    return (name && *name) ? getenv(name) : nullptr;
}

char* f8_proc_get_env(malloc_i* res_ma, const char* name)
{
    const char* value = env_get_val(name);
    return value ? ss8cpym(res_ma, value) : nullptr;
}

wchar_t* fw_proc_get_env(malloc_i* res_ma, const wchar_t* name)
{
    scratch_pool pool;
    const char* value = name ? env_get_val(ss8convwm(pool.ma(), name)) : nullptr;
    return value ? sswconv8m(res_ma, value) : nullptr;
}

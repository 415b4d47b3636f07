// polymain8 - command registration, lookup, help and dispatch.
//
// Lists are singly linked with back links (prev points at the pointer that
// points at the entry), sorted by ss8asciicmpi; insertion goes before the
// first entry not smaller, so a later registration of an equal name stands
// first. The list heads are constant-initialised, so registrations from any
// static initialiser land whatever the order in which units start.
#include "qppolymain8.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "sstring.h"
#include "usertext.h"

extern "C" {

declare_main8_t* default_main8_list = nullptr;
declare_main8_t* internal_main8_list = nullptr;

} // extern "C"

namespace {

UTDEF(ut_build_tag_line, "polymain8_build_tag_line", "%(build_tag)\n");
UTDEF(ut_banner, "polymain8_banner",
      "%(application_name)\n%(copyright)\nVersion %(build_tag)\nFor help run: %(command_name) -h\n");
UTDEF(ut_syntax, "polymain8_syntax", "%(command_name) <command> [...]\ncommands:\n");
UTDEF(ut_syntax2, "polymain8_syntax2", "For more help run: %(command_name) <command> -h\n");
UTDEF(ut_unknown_command, "polymain8_error_unknown_command", "ERROR: Unknown command \"%1\".\n");
UTDEF(ut_try_one_of, "polymain8_try_one_of", "Try one of:\n");

const char* const help_verbs[] = {"?", "-?", "-h", "help", "-help", "--help"};
const char* const help_switches[] = {"-?", "-h"};

template <size_t N> bool is_one_of(const char* word, const char* const (&table)[N])
{
    for (const char* entry : table)
        if (cmd_name_cmp(word, entry) == 0)
            return true;
    return false;
}


// The texts joined into one allocation of the pool; null when it fails.
const char* join(qp_scratch_pool& pool, std::initializer_list<const char*> parts)
{
    size_t length = 0;
    for (const char* part : parts)
        length += strlen(part);
    char* joined = static_cast<char*>(ma_alloc(pool.ma(), length + 1));
    if (!joined)
        return nullptr;
    char* end = joined;
    for (const char* part : parts)
        end = static_cast<char*>(memcpy(end, part, strlen(part))) + strlen(part);
    return joined;
}

// The help text of an entry: its own id or "<name>_<suffix>".
const char* help_id(qp_scratch_pool& pool, const declare_main8_t* t, const char* own,
                    const char* suffix)
{
    return own ? own : join(pool, {t->name, suffix});
}

const char* long_help(qp_scratch_pool& pool, const declare_main8_t* t)
{
    return UtGet1(pool.ma(), help_id(pool, t, t->long_help, "_long_help"), t->name);
}

const char* short_help(qp_scratch_pool& pool, const declare_main8_t* t)
{
    return UtGet0(pool.ma(), help_id(pool, t, t->short_help, "_short_help"));
}

bool is_empty(const char* text)
{
    return !text || !*text;
}

const declare_main8_t* find_command(declare_main8_t* const* list, const char* word)
{
    for (const declare_main8_t* t = *list; t; t = t->next)
        if (cmd_name_cmp(word, t->name) == 0)
            return t;
    return nullptr;
}

// "*<word>*", the filter of listings and suggestions.
const char* contains_filter(qp_scratch_pool& pool, const char* word)
{
    return join(pool, {"*", word ? word : "", "*"});
}

void print_suggestions(qp_scratch_pool& pool, declare_main8_t* const* list, const char* word)
{
    const char* filter = contains_filter(pool, word);
    bool first = true;
    for (const declare_main8_t* t = *list; t; t = t->next) {
        if (!filter || !ss8asciiglobi(filter, t->name))
            continue;
        if (first)
            UtPrintOut(UtGet0(pool.ma(), ut_try_one_of.tid));
        first = false;
        UtPrintOut(join(pool, {"  ", t->name, "\n"}));
    }
}

void print_syntax(qp_scratch_pool& pool, declare_main8_t* const* list, const char* word)
{
    UtPrintOut(UtGet0(pool.ma(), ut_syntax.tid));
    const char* filter = contains_filter(pool, word);
    for (const declare_main8_t* t = *list; t && filter; t = t->next) {
        if (!ss8asciiglobi(filter, t->name))
            continue;
        const char* brief = short_help(pool, t);
        if (is_empty(brief) || is_empty(long_help(pool, t)))
            continue;
        UtPrintOut(join(pool, {"  ", t->name, "  ", brief}));
    }
    UtPrintOut(UtGet0(pool.ma(), ut_syntax2.tid));
}

void register_text(const char* id, const char* text)
{
    if (text)
        UtAdd(id, text);
}

} // namespace

extern "C" {

void declare_main8_init(declare_main8_t* t, declare_main8_t** list_head, const char* name,
                        main8_func_t func, const char* short_help, const char* long_help)
{
    t->name = name;
    t->func = func;
    t->short_help = short_help;
    t->long_help = long_help;
    declare_main8_t** link = list_head ? list_head : &default_main8_list;
    while (*link && ss8asciicmpi((*link)->name, name) < 0)
        link = &(*link)->next;
    t->next = *link;
    t->prev = link;
    if (t->next)
        t->next->prev = &t->next;
    *link = t;
}

declare_main8_t* declare_main8_term(declare_main8_t* t)
{
    if (!t->prev)
        return nullptr;
    *t->prev = t->next;
    if (t->next)
        t->next->prev = t->prev;
    t->prev = nullptr;
    t->next = nullptr;
    return t;
}

int cmd_name_cmp(const char* a, const char* b)
{
    auto fold = [](unsigned char c) -> unsigned char {
        if (c == '-' || c == '_')
            return ' ';
        return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    };
    a = a ? a : "";
    b = b ? b : "";
    while (*a == '-')
        a++;
    while (*b == '-')
        b++;
    for (;; a++, b++) {
        unsigned char ca = fold(static_cast<unsigned char>(*a));
        unsigned char cb = fold(static_cast<unsigned char>(*b));
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            return 0;
    }
}

int poly_main8_find(declare_main8_t** main_list, int argc, char** argv, main8_func_t* out_func)
{
    QP_ASSERT(out_func && !*out_func);
    declare_main8_t** list = main_list ? main_list : &default_main8_list;
    qp_scratch_pool pool;
    if (argc <= 0) {
        UtPrintOut(UtGet0(pool.ma(), ut_banner.tid));
        return 0;
    }
    int pos = 0;
    bool help = is_one_of(argv[0], help_verbs);
    if (help)
        pos = 1;
    if (pos < argc) {
        const declare_main8_t* t = find_command(list, argv[pos]);
        if (!t)
            t = find_command(&internal_main8_list, argv[pos]);
        if (t) {
            *out_func = t->func;
            if (pos + 1 < argc && is_one_of(argv[pos + 1], help_switches))
                help = true;
            if (help) {
                UtPrintOut(long_help(pool, t));
                *out_func = nullptr;
                help = false;
            }
        } else if (!help) {
            UtPrintOut(UtGet1(pool.ma(), ut_unknown_command.tid, argv[pos]));
            print_suggestions(pool, list, argv[pos]);
            return -1;
        }
    }
    if (help)
        print_syntax(pool, list, pos < argc ? argv[pos] : nullptr);
    return 0;
}

int poly_main8(declare_main8_t** main_list, int argc, char** argv, const char* command_name,
               const char* application_name, const char* build_tag, const char* copyright)
{
    utCollisionsOk = 1;
    register_text("command_name", command_name);
    register_text("application_name", application_name);
    register_text("build_tag", build_tag && !*build_tag ? "?" : build_tag);
    register_text("copyright", copyright);
    main8_func_t func = nullptr;
    int result = poly_main8_find(main_list, argc, argv, &func);
    if (result)
        return result;
    return func ? func(argc, argv) : 0;
}

int polymain8_version_main(int, char**)
{
    qp_scratch_pool pool;
    UtPrintOut(UtGet0(pool.ma(), ut_build_tag_line.tid));
    return 0;
}

} // extern "C"

// The built-in "version" command, in the static-record form: a declaration,
// a start-up function that registers it and an exit function that removes it.
namespace {

declare_main8_t declare_polymain8_version_main;

void declare_polymain8_version_main_term()
{
    declare_main8_term(&declare_polymain8_version_main);
}

__attribute__((constructor)) void declare_polymain8_version_main_init()
{
    declare_main8_init(&declare_polymain8_version_main, &internal_main8_list, "version",
                       polymain8_version_main, nullptr, nullptr);
    atexit(declare_polymain8_version_main_term);
}

} // namespace

// usertext - the process-wide map of named texts, their expansion and the
// line-by-line output to sinks.
//
// The map is a join index of nodes ut_map_node_t (the link, the id and the
// template in one allocation) ordered by id under ASCII case folding. Nodes
// come from one arena pool, created by the first registration (which may run
// in any static initialiser, before or after this unit's own) and released
// at process exit; a replaced node stays in the pool until then.
//
// No lock: registration happens in static initialisers and on the main
// thread before commands run; expansion only reads the map.
#include "usertext.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "jindex.h"
#include "qpsys.h"
#include "sstring.h"

extern "C" {

int utCollisionsOk = 0;

} // extern "C"

namespace {

struct ut_map_node_t {
    ji_link_t link;
    char key[1]; // the id, its terminator, the template, its terminator
};

const char ut_empty_text[] = "";
const char ut_error_text[] = "usertext_error";
const int ut_max_recursion = 5; // deeper references are inserted raw

qp_mp_t ut_map_pool;
bool ut_map_created;

const ut_map_node_t* ut_node_of(const ji_link_t* link)
{
    return reinterpret_cast<const ut_map_node_t*>(link);
}

int ut_map_comp(const void* param, const ji_link_t* link)
{
    return ss8asciicmpi(static_cast<const char*>(param), ut_node_of(link)->key);
}

int ut_map_comp2(const ji_link_t* link1, const ji_link_t* link2)
{
    return ss8asciicmpi(ut_node_of(link1)->key, ut_node_of(link2)->key);
}

ji_center_t ut_map = {nullptr, ut_map_comp2};

void ut_map_release()
{
    ut_map.link = nullptr;
    ut_map_created = false;
    mp_t_term(&ut_map_pool);
}

void ut_map_create()
{
    if (ut_map_created)
        return;
    ut_map_created = true;
    mp_t_init(&ut_map_pool);
    atexit(ut_map_release);
}

const char* ut_node_value(const ut_map_node_t* node)
{
    return node->key + strlen(node->key) + 1;
}

// Bounded output of one expansion: every character counts, only those below
// the destination size are stored.
struct ut_sink_t {
    char* text;
    size_t max_chars;
    size_t length;

    void put(char c)
    {
        if (length < max_chars)
            text[length] = c;
        length++;
    }
    void put(const char* s)
    {
        for (; *s; s++)
            put(*s);
    }
    void terminate()
    {
        if (length < max_chars)
            text[length] = 0;
        else if (max_chars)
            text[max_chars - 1] = 0;
    }
};

// A pool created only when an expansion needs memory of its own.
struct ut_scratch_t {
    qp_mp_t mp;
    bool live = false;

    void* alloc(size_t size)
    {
        if (!live) {
            mp_t_init(&mp);
            live = true;
        }
        return ma_alloc(mp_t_ma(&mp), size);
    }
    ~ut_scratch_t()
    {
        if (live)
            mp_t_term(&mp);
    }
};

// Expands the referenced id (of id_len characters at id) into the sink.
void ut_put_reference(ut_sink_t& sink, ut_scratch_t& scratch, int* recurse_count,
                      const char* id, size_t id_len, int argc, const char* const* argv)
{
    char* tid = static_cast<char*>(scratch.alloc(id_len + 1));
    if (!tid) {
        sink.put(ut_error_text);
        return;
    }
    memcpy(tid, id, id_len);
    if (*recurse_count > ut_max_recursion) {
        sink.put(ut_map_get(tid));
        return;
    }
    const char* static_text = nullptr;
    size_t length = UtFormSub(recurse_count, nullptr, 0, &static_text, tid, argc, argv);
    if (static_text) {
        sink.put(static_text);
        return;
    }
    char* expanded = static_cast<char*>(scratch.alloc(length + 1));
    if (!expanded) {
        sink.put(ut_error_text);
        return;
    }
    UtFormSub(recurse_count, expanded, length + 1, nullptr, tid, argc, argv);
    sink.put(expanded);
}

} // namespace

extern "C" {

void ut_map_add(const char* key, const char* val)
{
    if (!key)
        return;
    if (!val)
        val = ut_empty_text;
    ut_map_create();
    size_t key_len = strlen(key);
    size_t val_len = strlen(val);
    auto* node = static_cast<ut_map_node_t*>(
        ma_alloc(mp_t_ma(&ut_map_pool), sizeof(ji_link_t) + key_len + val_len + 2));
    if (!node)
        return;
    memcpy(node->key, key, key_len);
    memcpy(node->key + key_len + 1, val, val_len);
    ji_link_t* existing = ji_insert_if(&ut_map, ut_map_comp, node->key, &node->link);
    if (existing && utCollisionsOk) {
        ji_remove(&ut_map, ut_map_comp, node->key, existing);
        ji_insert(&ut_map, ut_map_comp, node->key, &node->link);
    }
}

void UtAdd(const char* tid, const char* val)
{
    ut_map_add(tid, val);
}

const char* ut_map_get(const char* tid)
{
    if (!tid)
        return ut_empty_text;
    const ji_link_t* link = ut_map.link ? ji_find(&ut_map, ut_map_comp, tid) : nullptr;
    return link ? ut_node_value(ut_node_of(link)) : tid;
}

size_t UtFormSub(int* recurse_count, char* text, size_t max_text_chars,
                 const char** out_static_text, const char* tid, int argc,
                 const char* const* argv)
{
    ++*recurse_count;
    const char* templ = ut_map_get(tid);
    const char* static_text = templ;
    ut_sink_t sink = {text, text ? max_text_chars : 0, 0};
    ut_scratch_t scratch;

    for (const char* p = templ; *p; p++) {
        if (*p != '%') {
            sink.put(*p);
            continue;
        }
        static_text = nullptr;
        char c = *++p;
        if (!c)
            break;
        if (c >= '1' && c <= '9') {
            int index = c - '1';
            const char* arg = index < argc && argv ? argv[index] : nullptr;
            sink.put(arg ? arg : ut_map_get("missing_arg"));
        } else if (c == '(') {
            const char* id = p + 1;
            const char* end = strchr(id, ')');
            size_t id_len = end ? size_t(end - id) : strlen(id);
            ut_put_reference(sink, scratch, recurse_count, id, id_len, argc, argv);
            p = end ? end : id + id_len - 1;
        } else {
            sink.put(c);
        }
    }
    sink.terminate();
    if (sink.length == 0)
        static_text = ut_empty_text;
    if (out_static_text)
        *out_static_text = static_text;
    --*recurse_count;
    return sink.length;
}

const char* UtGetV(malloc_i* res_ma, const char* id, int argc, const char* const* argv)
{
    enum { local_chars = 100 };
    char local[local_chars];
    int recurse_count = 0;
    const char* static_text = nullptr;
    size_t length = UtFormSub(&recurse_count, local, local_chars, &static_text, id, argc, argv);
    if (static_text)
        return static_text;
    char* result = static_cast<char*>(ma_alloc(res_ma, length + 1));
    if (length < local_chars) {
        if (result)
            memcpy(result, local, length + 1);
        return result;
    }
    if (!result)
        return ut_error_text;
    UtFormSub(&recurse_count, result, length + 1, nullptr, id, argc, argv);
    return result;
}

const char* UtGet0(malloc_i* res_ma, const char* id)
{
    return UtGetV(res_ma, id, 0, nullptr);
}

const char* UtGet1(malloc_i* res_ma, const char* id, const char* arg0)
{
    return UtGetV(res_ma, id, 1, &arg0);
}

void UtOutFileLine(int fd, const char* text, int new_line)
{
    if (fd == -1)
        return;
    if (!text)
        text = ut_empty_text;
    size_t length = strlen(text);
    size_t total = length + (new_line ? 1 : 0);
    char local[512];
    char* line = total <= sizeof local ? local : static_cast<char*>(malloc_d(total));
    if (!line)
        return;
    memcpy(line, text, length);
    if (new_line)
        line[length] = '\n';
    for (size_t done = 0; done < total;) {
        ssize_t n = write(fd, line + done, total - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    if (line != local)
        free_d(line);
}

void ut_out_file_line(UtOut* self, const char* text, int newline)
{
    UtOutFileLine(reinterpret_cast<ut_out_file_t*>(self)->fd, text, newline);
}

} // extern "C"

namespace {

void ut_out_null_line(UtOut*, const char*, int) {}

ut_out_stdout_t ut_out_stdout = {{ut_out_file_line}, 1};
ut_out_stderr_t ut_out_stderr = {{ut_out_file_line}, 2};
ut_out_null_t ut_out_null = {{ut_out_null_line}};

} // namespace

extern "C" {

UtOut* utStdout = &ut_out_stdout.out;
UtOut* utStderr = &ut_out_stderr.out;
UtOut* utNul = &ut_out_null.out;

void UtPrint(UtOut* output, const char* data)
{
    if (!data || !*data) {
        UtOutLine(output, data ? data : ut_empty_text, 0);
        return;
    }
    ut_scratch_t scratch;
    for (const char* start = data; *start;) {
        const char* end = strchr(start, '\n');
        if (!end) {
            UtOutLine(output, start, 0);
            break;
        }
        size_t length = size_t(end - start);
        if (length && end[-1] == '\r')
            length--;
        char* piece = static_cast<char*>(scratch.alloc(length + 1));
        if (piece) {
            memcpy(piece, start, length);
            UtOutLine(output, piece, 1);
        }
        start = end + 1;
    }
}

void UtPrintOut(const char* data)
{
    UtPrint(utStdout, data);
}

} // extern "C"

// ---- locale texts ----------------------------------------------------------

namespace {

// Grouping bytes as text: "3;3;0" for 3, 3, 0. Stops after a byte that is
// not a digit 1..9 (a 0 after a digit is kept) and before 49 characters.
void ut_grouping_text(const char* grouping, char* out, size_t out_size)
{
    size_t length = 0;
    out[0] = 0;
    for (const char* g = grouping; g && out_size > 2; g++) {
        int value = static_cast<unsigned char>(*g);
        bool digit = value >= 1 && value <= 9;
        if (!digit && !(value == 0 && length))
            break;
        size_t need = (length ? 1 : 0) + 1;
        if (length + need > 49 || length + need >= out_size)
            break;
        if (length)
            out[length++] = ';';
        out[length++] = char('0' + value);
        out[length] = 0;
        if (!digit)
            break;
    }
}

UTDEF(ut_locale_neg_format, "locale_neg_format", "-%1");
UTDEF(ut_locale_thous_sep, "locale_thous_sep", ",");
UTDEF(ut_locale_thous_grouping, "locale_thous_grouping", "3;0");
UTDEF(ut_locale_decimal, "locale_decimal", ".");
UTDEF(ut_locale_time_sep, "locale_time_sep", ":");

// Runs after the defaults above: static objects of one unit are constructed
// in the order they are defined.
struct ut_auto_init_locale_t {
    ut_auto_init_locale_t()
    {
        UserTextAutoInitLocale();
    }
} ut_auto_init_locale;

} // namespace

extern "C" void UserTextAutoInitLocale(void)
{
    utCollisionsOk = 1;
    proc_init_locale();
    const struct lconv* conv = localeconv();
    if (conv->decimal_point && *conv->decimal_point)
        UtAdd(ut_locale_decimal.tid, conv->decimal_point);
    if (conv->thousands_sep && *conv->thousands_sep)
        UtAdd(ut_locale_thous_sep.tid, conv->thousands_sep);
    char grouping[64];
    ut_grouping_text(conv->grouping, grouping, sizeof grouping);
    if (*grouping)
        UtAdd(ut_locale_thous_grouping.tid, grouping);
    utCollisionsOk = 0;
}

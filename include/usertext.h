/*
 * usertext.h - named, substitutable message texts and their output sinks.
 *
 * Every message a program shows is a user text: a template registered under
 * an ASCII id (ids compare without regard to ASCII case) in one process-wide
 * map, expanded on demand:
 *   %1 .. %9   the caller's arguments ("missing_arg" when absent or null)
 *   %(id)      the expansion of another text, six levels deep at most
 *   %x         the character x ("%%" gives "%"); a trailing '%' is dropped
 * An id that is not registered is its own template, so a literal message can
 * stand wherever an id is expected.
 *
 * Registration happens in static initialisers and on the main thread before
 * any command runs; the map has no lock. Until the dispatcher starts, the
 * first registration of an id wins; from then on (utCollisionsOk) the last.
 *
 *     UTDEF(ut_done, "install_done", "Installed %1.\n");
 *     UtPrintOut(UtGet1(mp_t_ma(&mp), ut_done.tid, path));
 */
#ifndef USERTEXT_H
#define USERTEXT_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Whether registering an existing id replaces its text. */
extern int utCollisionsOk;

void UtAdd(const char* tid, const char* val);
void ut_map_add(const char* key, const char* val);
/* The stored template of tid, or tid itself when it is not registered. */
const char* ut_map_get(const char* tid);

/* Expands tid into text (at most max_text_chars units, terminator included;
 * text may be null with 0 to measure) and returns the full length. When a
 * stored or constant text can stand for the expansion, *out_static_text
 * receives it, else null. */
size_t UtFormSub(int* recurse_count, char* text, size_t max_text_chars,
                 const char** out_static_text, const char* tid, int argc,
                 const char* const* argv);

/* The expansion of id, allocated from res_ma when a copy is needed, or a
 * stored or constant text (callers pass pool allocators, so both are
 * released with the pool). Null when a short copy cannot be allocated. */
const char* UtGet0(malloc_i* res_ma, const char* id);
const char* UtGet1(malloc_i* res_ma, const char* id, const char* arg0);
const char* UtGetV(malloc_i* res_ma, const char* id, int argc, const char* const* argv);

/* An output sink: one operation, a line with or without its line feed. */
typedef struct UtOut UtOut;
struct UtOut {
    void (*line)(UtOut* self, const char* text, int newline);
};
typedef struct ut_out_file_t {
    UtOut out;
    int fd;
} ut_out_file_t;
typedef ut_out_file_t ut_out_stdout_t;
typedef ut_out_file_t ut_out_stderr_t;
typedef struct ut_out_null_t {
    UtOut out;
} ut_out_null_t;

extern UtOut* utStdout;
extern UtOut* utStderr;
extern UtOut* utNul;

static inline void UtOutLine(UtOut* out, const char* text, int newline)
{
    out->line(out, text, newline);
}
void ut_out_file_line(UtOut* self, const char* text, int newline);

/* Writes text, plus a line feed when new_line is set, in one write to fd;
 * nothing when fd is -1. */
void UtOutFileLine(int fd, const char* text, int new_line);

/* Prints data line by line ("\r\n" counts as one line end); a rest after
 * the last line feed is printed without one. */
void UtPrint(UtOut* output, const char* data);
void UtPrintOut(const char* data);

/* Start-up: replaces the locale texts by the platform's conventions. */
void UserTextAutoInitLocale(void);

#ifdef __cplusplus
}

/* A text definition registered by its constructor: UTDEF(name, id, text). */
struct UtDef {
    const char* tid;
    const char* val;
    UtDef(const char* id, const char* text) : tid(id), val(text)
    {
        UtAdd(id, text);
    }
};
#define UTDEF(name, id, text) static UtDef name(id, text)
#else
/* The C form: a static definition and a start-up function that adds it. */
typedef struct UtDef {
    const char* tid;
    const char* val;
} UtDef;
#define UTDEF(name, id, text)                                                                      \
    static UtDef name = {id, text};                                                                \
    __attribute__((constructor)) static void name##_init(void)                                     \
    {                                                                                              \
        UtAdd(name.tid, name.val);                                                                 \
    }
#endif

#endif

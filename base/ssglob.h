/*
 * ssglob.h - the four wildcard matchers of one family, written once and
 * instantiated by ssglob.c (ss8) and ssglobw.c (ssw); see ssfamily.h for
 * what the including unit defines.
 *
 * glob     "*" any run, "?" any one character, everything else itself.
 * globdos  as glob, plus "<" like "*"; a double quote matches a dot, or
 *          nothing at the end of the name; ">" matches one character, or
 *          nothing at the end of the name or at the name's last dot.
 * xglob    path rules: "/" only matches "/"; "*" a run within one component;
 *          "?" one character other than "/"; "**" (two or more) a run across
 *          components, and "**" before "/" may also match no folder at all.
 * xglob2   both arguments are xglob patterns and the name's wildcards act
 *          too: 1 when the two patterns have a name in common.
 *
 * One engine serves all four: both sides are read as tokens (literal, "?",
 * star runs), a state is a pair of positions, and a state where either side
 * is at a star is a choice point kept on a stack of SS_GLOB_DEPTH frames
 * (iterative backtracking, no recursion). A frame tries, in order: "**"
 * before "/" matching no folder, the star matching nothing, then the star
 * taking one more token of the other side, in place (after which "no
 * folder" no longer applies). Chains of "**" + "/" read as one.
 *
 * The stack stays shallow where older choices can no longer help: glob and
 * globdos keep only the newest star (the classic matcher); xglob drops an
 * older "*" when a newer one comes, and everything when a "**" comes that
 * covers all later starts (see _glob_supersedes), unless a "**" before "/"
 * that does not is still on the stack. Only xglob2 and unusual xglob
 * filters can fill the stack; a full stack ends the match with 0 (no match)
 * rather than stopping the program, since patterns come from input.
 */
#include "ssfamily.h"

#ifndef SS_GLOB_ONCE_
#define SS_GLOB_ONCE_

#define SS_GLOB_DEPTH 50
/* Positions are kept in 32 bits to keep the stack small (450 bytes). */
#define SS_GLOB_MAX_LEN 0xFFFFFFF0u

enum ss_glob_mode { SS_GLOB, SS_GLOBDOS, SS_XGLOB, SS_XGLOB2 };

enum ss_glob_token {
    SS_TOK_END,
    SS_TOK_LIT,
    SS_TOK_ANY,      /* glob "?": any character */
    SS_TOK_ANY1,     /* xglob "?": any character but "/" */
    SS_TOK_DOS_QM,   /* globdos ">" */
    SS_TOK_DOS_DOT,  /* globdos double quote */
    SS_TOK_STAR_ANY, /* glob "*", globdos "*" and "<": any run */
    SS_TOK_STAR1,    /* xglob "*": a run without "/" */
    SS_TOK_STAR2,    /* xglob "**": any run */
    SS_TOK_DIRS      /* xglob "**" before "/": any run then "/", or nothing */
};

/* Frame alternatives, tried in this order. */
enum { SS_ALT_A_NO_DIR, SS_ALT_A_EMPTY, SS_ALT_B_NO_DIR, SS_ALT_B_EMPTY, SS_ALT_A_TAKES,
       SS_ALT_B_TAKES, SS_ALT_DONE };
#define SS_FRAME_ALT_MASK 0x07
#define SS_FRAME_STAR1    0x08 /* the frame's own star is an xglob "*" */
#define SS_FRAME_LOOSE    0x40 /* a "**" before "/" that does not supersede */
/* The star at this side's position has taken tokens already, so a "**" before
 * "/" can no longer match no folder. */
#define SS_TOOK_A         0x10
#define SS_TOOK_B         0x20

typedef uint32_t (*ss_glob_fold_fn)(uint32_t cp);

static uint32_t ss_glob_fold_none(uint32_t cp)
{
    return cp;
}

typedef struct ss_glob_tok_t {
    int type;
    uint32_t cp;  /* literal, folded */
    uint32_t unit; /* the first unit: tells invalid sequences apart */
    size_t next;  /* behind the token (for DIRS: at its "/") */
} ss_glob_tok_t;

static int ss_glob_is_star(int type)
{
    return type >= SS_TOK_STAR_ANY;
}

/* Whether a loose frame (see _glob_supersedes) is on the stack: it can
 * still open an earlier start for what follows, so nothing may go. */
static int ss_glob_any_loose(const uint8_t* frame_state, int depth)
{
    while (depth-- > 0)
        if (frame_state[depth] & SS_FRAME_LOOSE)
            return 1;
    return 0;
}

#endif

typedef struct SS_P(_glob_side_t) {
    const SS_T* text;
    size_t len;
    int mode; /* wildcard rules of this side; -1: every character is literal */
} SS_P(_glob_side_t);

typedef struct SS_P(_glob_t) {
    SS_P(_glob_side_t) a, b;
    ss_glob_fold_fn fold;
    size_t last_dot; /* globdos: index of the name's last dot, or SS_UNBOUNDED */
} SS_P(_glob_t);

static size_t SS_P(_glob_star_run)(const SS_P(_glob_side_t) * side, size_t i, uint32_t star2)
{
    size_t next;
    uint32_t cp;

    while ((cp = SS_PULL(side->text, side->len, i, &next)) == '*' || (star2 && cp == star2))
        i = next;
    return i;
}

/* "**" + "/" repeated matches what one does: a chain ends at its last "/". */
static size_t SS_P(_glob_dirs_end)(const SS_P(_glob_side_t) * side, size_t slash)
{
    for (;;) {
        size_t run_end = SS_P(_glob_star_run)(side, slash + 1, 0), after_end;
        if (run_end - (slash + 1) < 2 || SS_PULL(side->text, side->len, run_end, &after_end) != '/')
            return slash;
        slash = run_end;
    }
}

static void SS_P(_glob_token)(const SS_P(_glob_t) * g, const SS_P(_glob_side_t) * side, size_t i,
                              ss_glob_tok_t* tok)
{
    uint32_t cp = SS_PULL(side->text, side->len, i, &tok->next), after;
    size_t run_end, unused;

    tok->cp = g->fold(cp);
    tok->unit = cp == 0 ? 0 : SS_UNIT(side->text[i]);
    tok->type = cp == 0 ? SS_TOK_END : SS_TOK_LIT;
    if (cp == 0 || side->mode < 0)
        return;
    if (cp == '?')
        tok->type = side->mode >= SS_XGLOB ? SS_TOK_ANY1 : SS_TOK_ANY;
    else if (side->mode == SS_GLOBDOS && cp == '>')
        tok->type = SS_TOK_DOS_QM;
    else if (side->mode == SS_GLOBDOS && cp == '"')
        tok->type = SS_TOK_DOS_DOT;
    else if (cp == '*' || (side->mode == SS_GLOBDOS && cp == '<')) {
        run_end = SS_P(_glob_star_run)(side, i, side->mode == SS_GLOBDOS ? '<' : 0);
        tok->type = SS_TOK_STAR_ANY;
        if (side->mode >= SS_XGLOB) {
            after = SS_PULL(side->text, side->len, run_end, &unused);
            tok->type = run_end - i == 1 ? SS_TOK_STAR1 : after == '/' ? SS_TOK_DIRS : SS_TOK_STAR2;
            if (tok->type == SS_TOK_DIRS)
                run_end = SS_P(_glob_dirs_end)(side, run_end);
        }
        tok->next = run_end;
    }
}

/* Whether a star may take the other side's token t (never an end or a
 * star: two stars meeting always let one of them match nothing). */
static int SS_P(_glob_star_takes)(int star, const ss_glob_tok_t* t)
{
    if (t->type == SS_TOK_END || ss_glob_is_star(t->type))
        return 0;
    return star != SS_TOK_STAR1 || t->type != SS_TOK_LIT || t->cp != '/';
}

/* One step between two tokens without a star: 1 advanced, 0 mismatch. */
static int SS_P(_glob_step)(const SS_P(_glob_t) * g, const ss_glob_tok_t* a,
                            const ss_glob_tok_t* b, size_t* i, size_t* j)
{
    int match;

    if (a->type == SS_TOK_DOS_QM) {
        *i = a->next;
        if (b->type != SS_TOK_END && *j != g->last_dot)
            *j = b->next;
        return 1;
    }
    if (a->type == SS_TOK_DOS_DOT) {
        *i = a->next;
        if (b->type == SS_TOK_END)
            return 1;
        *j = b->next;
        return b->cp == '.';
    }
    if (a->type == SS_TOK_END || b->type == SS_TOK_END)
        return 0;
    if (a->type == SS_TOK_ANY)
        match = 1;
    else if (a->type == SS_TOK_ANY1)
        match = b->type == SS_TOK_ANY1 || b->cp != '/';
    else if (b->type == SS_TOK_ANY1)
        match = a->cp != '/';
    else
        match = a->cp == b->cp && (a->cp != SS_INVALID || a->unit == b->unit);
    *i = a->next;
    *j = b->next;
    return match;
}

/* The next position pair of alternative alt at (i, j), or 0 when alt does
 * not apply there; took holds the SS_TOOK_ bits of the pair. */
static int SS_P(_glob_alternative)(int alt, int took, const ss_glob_tok_t* a,
                                   const ss_glob_tok_t* b, size_t* i, size_t* j)
{
    switch (alt) {
    case SS_ALT_A_EMPTY:
        *i = a->next;
        return ss_glob_is_star(a->type);
    case SS_ALT_A_NO_DIR:
        *i = a->next + 1;
        return a->type == SS_TOK_DIRS && !(took & SS_TOOK_A);
    case SS_ALT_B_EMPTY:
        *j = b->next;
        return ss_glob_is_star(b->type);
    case SS_ALT_B_NO_DIR:
        *j = b->next + 1;
        return b->type == SS_TOK_DIRS && !(took & SS_TOOK_B);
    case SS_ALT_A_TAKES:
        *j = b->next;
        return ss_glob_is_star(a->type) && SS_P(_glob_star_takes)(a->type, b);
    default:
        *i = a->next;
        return ss_glob_is_star(b->type) && SS_P(_glob_star_takes)(b->type, a);
    }
}

/* xglob: whether a star at filter index i covers every tail that older
 * choices could still open, so that they can go. "**" does: any later start
 * is a tail of it. "**" before "/" does when every later arrival at it
 * follows a "/" of the name, where it may start too: when it starts the
 * filter, follows a literal "/", or follows such a "**" + "/" itself. */
static int SS_P(_glob_supersedes)(const SS_P(_glob_t) * g, const ss_glob_tok_t* a, size_t i)
{
    const SS_T* f = g->a.text;

    if (a->type == SS_TOK_STAR2)
        return 1;
    if (a->type != SS_TOK_DIRS)
        return 0;
    for (;;) {
        size_t slash, run;
        if (i == 0)
            return 1;
        slash = i - 1;
        if (SS_UNIT(f[slash]) != '/')
            return 0;
        for (run = slash; run > 0 && SS_UNIT(f[run - 1]) == '*'; run--)
            ;
        if (slash - run < 2)
            return 1;
        i = run;
    }
}

static int SS_P(_glob_match)(SS_P(_glob_t) * g)
{
    uint32_t frame_i[SS_GLOB_DEPTH], frame_j[SS_GLOB_DEPTH];
    uint8_t frame_state[SS_GLOB_DEPTH];
    int depth = 0, alt, took = 0, loose;
    size_t i = 0, j = 0, ni = 0, nj = 0;
    ss_glob_tok_t a, b;

    for (;;) {
        SS_P(_glob_token)(g, &g->a, i, &a);
        SS_P(_glob_token)(g, &g->b, j, &b);
        if (!ss_glob_is_star(a.type) && !ss_glob_is_star(b.type)) {
            if (a.type == SS_TOK_END && b.type == SS_TOK_END)
                return 1;
            took = 0;
            if (SS_P(_glob_step)(g, &a, &b, &i, &j))
                continue;
            goto backtrack;
        }
        /* A choice point. Older frames that can no longer help go first. */
        loose = 0;
        if (g->a.mode <= SS_GLOBDOS) {
            depth = 0;
        } else if (g->a.mode == SS_XGLOB && a.type == SS_TOK_STAR1) {
            while (depth > 0 && (frame_state[depth - 1] & SS_FRAME_STAR1))
                depth--;
        } else if (g->a.mode == SS_XGLOB) {
            loose = SS_P(_glob_supersedes)(g, &a, i) ? 0 : SS_FRAME_LOOSE;
            if (!loose && !ss_glob_any_loose(frame_state, depth))
                depth = 0;
        }
        if (depth == SS_GLOB_DEPTH)
            return 0;
        frame_i[depth] = (uint32_t)i;
        frame_j[depth] = (uint32_t)j;
        frame_state[depth] = (uint8_t)((a.type == SS_TOK_STAR1 ? SS_FRAME_STAR1 : 0) | loose | took);
        depth++;
        goto resume;
    backtrack:
        if (depth == 0)
            return 0;
    resume:
        i = frame_i[depth - 1];
        j = frame_j[depth - 1];
        took = frame_state[depth - 1] & (SS_TOOK_A | SS_TOOK_B);
        SS_P(_glob_token)(g, &g->a, i, &a);
        SS_P(_glob_token)(g, &g->b, j, &b);
        for (alt = frame_state[depth - 1] & SS_FRAME_ALT_MASK; alt < SS_ALT_DONE; alt++) {
            ni = i;
            nj = j;
            if (SS_P(_glob_alternative)(alt, took, &a, &b, &ni, &nj))
                break;
        }
        if (alt == SS_ALT_DONE) {
            depth--;
            goto backtrack;
        }
        if (alt >= SS_ALT_A_TAKES) {
            /* The star took one token and stays: the same frame goes on
             * from the new pair with all its alternatives. */
            frame_i[depth - 1] = (uint32_t)ni;
            frame_j[depth - 1] = (uint32_t)nj;
            frame_state[depth - 1] =
                (uint8_t)((frame_state[depth - 1] & (SS_FRAME_STAR1 | SS_FRAME_LOOSE)) |
                          (alt == SS_ALT_A_TAKES ? SS_TOOK_A : SS_TOOK_B));
            goto resume;
        }
        frame_state[depth - 1] = (uint8_t)((frame_state[depth - 1] & ~SS_FRAME_ALT_MASK) | (alt + 1));
        took &= alt == SS_ALT_A_NO_DIR || alt == SS_ALT_A_EMPTY ? ~SS_TOOK_A : ~SS_TOOK_B;
        i = ni;
        j = nj;
    }
}

/* globdos: where the name's last dot is (">" matches nothing there). */
static size_t SS_P(_is_end_dot)(const SS_T* name, size_t len)
{
    size_t dot_index = SS_UNBOUNDED, i;

    for (i = 0; i < len; i++)
        if (SS_UNIT(name[i]) == '.')
            dot_index = i;
    QP_ASSERT(dot_index == SS_UNBOUNDED || name[dot_index] == '.');
    return dot_index;
}

static int SS_P(_glob)(int mode, ss_glob_fold_fn fold, const SS_T* filter, size_t filter_len,
                       const SS_T* name, size_t name_len)
{
    SS_P(_glob_t) g;

    g.a.text = filter;
    g.a.len = SS_P(lenn)(filter, filter_len);
    g.a.mode = mode;
    g.b.text = name;
    g.b.len = SS_P(lenn)(name, name_len);
    g.b.mode = mode == SS_XGLOB2 ? SS_XGLOB2 : -1;
    g.fold = fold;
    g.last_dot = mode == SS_GLOBDOS ? SS_P(_is_end_dot)(name, g.b.len) : SS_UNBOUNDED;
    if (g.a.len > SS_GLOB_MAX_LEN || g.b.len > SS_GLOB_MAX_LEN)
        return 0;
    return SS_P(_glob_match)(&g);
}

#define SS_GLOB_FORMS(F, OP, MODE, FOLD)                                                           \
    int SS_P(SSN_(, F, OP, n))(const SS_T* filter, size_t fl, const SS_T* name, size_t nl)         \
    {                                                                                              \
        return SS_P(_glob)(MODE, FOLD, filter, fl, name, nl);                                      \
    }                                                                                              \
    int SS_P(SSN_(, F, OP, ))(const SS_T* filter, const SS_T* name)                                \
    {                                                                                              \
        return SS_P(_glob)(MODE, FOLD, filter, SS_UNBOUNDED, name, SS_UNBOUNDED);                  \
    }                                                                                              \
    int SS_P(SSN_(, F, OP, n1))(const SS_T* filter, size_t fl, const SS_T* name)                   \
    {                                                                                              \
        return SS_P(_glob)(MODE, FOLD, filter, fl, name, SS_UNBOUNDED);                            \
    }                                                                                              \
    int SS_P(SSN_(, F, OP, n2))(const SS_T* filter, const SS_T* name, size_t nl)                   \
    {                                                                                              \
        return SS_P(_glob)(MODE, FOLD, filter, SS_UNBOUNDED, name, nl);                            \
    }

#define SS_GLOB_FAMILY(F, FOLD)                                                                    \
    SS_GLOB_FORMS(F, glob, SS_GLOB, FOLD)                                                          \
    SS_GLOB_FORMS(F, globdos, SS_GLOBDOS, FOLD)                                                    \
    SS_GLOB_FORMS(F, xglob, SS_XGLOB, FOLD)                                                        \
    SS_GLOB_FORMS(F, xglob2, SS_XGLOB2, FOLD)

SS_GLOB_FAMILY(, ss_glob_fold_none)
SS_GLOB_FAMILY(ascii, ss8asciiupper)
SS_GLOB_FAMILY(u5, ssu5fold32)

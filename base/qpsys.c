/*
 * qpsys.c - the portable path algebra: parse, normalise, join.
 *
 * Built for user mode and for the kernel, so it calls nothing of libc. Every
 * algorithm is written once over a text of either width (UTF-8 bytes or
 * 32-bit wide units, struct path_text) and only looks at ASCII units, so the
 * f8_ and fw_ forms give the same results index for index.
 *
 * Normalising works right to left: a component of n dots adds n - 1 to a
 * count of levels still to drop, any other component is dropped while that
 * count is positive and kept otherwise. That keeps the same components as a
 * left-to-right walk with a stack, needs no scratch storage, and the first
 * pass yields the exact result length, so the result is one allocation of
 * that size filled by a second pass. No locks; no state.
 */
#include "qpsys.h"

/* One text of either width, bounded by len. */
struct path_text {
    const void* units;
    size_t len;
    int wide;
};

static uint32_t unit_at(const struct path_text* t, size_t i)
{
    return t->wide ? (uint32_t)((const wchar_t*)t->units)[i] : (uint8_t)((const char*)t->units)[i];
}

static void unit_put(void* dest, int wide, size_t i, uint32_t unit)
{
    if (wide)
        ((wchar_t*)dest)[i] = (wchar_t)unit;
    else
        ((char*)dest)[i] = (char)unit;
}

static struct path_text text_of(const void* units, int wide)
{
    struct path_text t = {units, 0, wide};
    if (units) {
        while (unit_at(&t, t.len) != 0)
            t.len++;
    }
    return t;
}

static int is_sep(uint32_t u)
{
    return u == '/' || u == '\\';
}

static int is_letter(uint32_t u)
{
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

/* Length of the component starting at i (up to the next separator). */
static size_t component_len(const struct path_text* t, size_t i)
{
    size_t n = 0;
    while (i + n < t->len && !is_sep(unit_at(t, i + n)))
        n++;
    return n;
}

/* Volume length of a text starting with two separators: "//=" before a
 * separator, or "//server/share"; 0 with *bad set when incomplete. */
static size_t unc_volume_len(const struct path_text* t, int* bad)
{
    size_t server_len, share_len;
    if (t->len >= 4 && unit_at(t, 2) == '=' && is_sep(unit_at(t, 3)))
        return 3;
    server_len = component_len(t, 2);
    if (server_len == 0 || 2 + server_len >= t->len) {
        *bad = 1;
        return 0;
    }
    share_len = component_len(t, 3 + server_len);
    if (share_len == 0) {
        *bad = 1;
        return 0;
    }
    return 3 + server_len + share_len;
}

struct path_parts {
    size_t volume_len;
    int rooted;
    size_t name_index;
    size_t ext_index;
};

static int parse_text(const struct path_text* t, struct path_parts* out)
{
    int bad = 0;
    size_t i;
    out->volume_len = 0;
    out->rooted = 0;
    if (t->len == 0)
        return 36;
    if (t->len >= 2 && is_sep(unit_at(t, 0)) && is_sep(unit_at(t, 1))) {
        out->volume_len = unc_volume_len(t, &bad);
        if (bad)
            return 36;
        out->rooted = 1;
    } else if (t->len >= 2 && is_letter(unit_at(t, 0)) && unit_at(t, 1) == ':') {
        out->volume_len = 2;
        out->rooted = t->len > 2 && is_sep(unit_at(t, 2));
    } else {
        out->rooted = is_sep(unit_at(t, 0));
    }
    out->name_index = out->volume_len;
    for (i = out->volume_len; i < t->len; i++) {
        if (is_sep(unit_at(t, i)))
            out->name_index = i + 1;
    }
    out->ext_index = t->len;
    for (i = t->len; i > out->name_index + 1; i--) {
        if (unit_at(t, i - 1) == '.') {
            out->ext_index = i - 1;
            break;
        }
    }
    return 0;
}

static int path_parse_(const void* name, int wide, size_t* out_volume_chars, int* out_rooted,
                       size_t* out_name_index, size_t* out_ext_index)
{
    struct path_text t = text_of(name, wide);
    struct path_parts parts = {0, 0, 0, 0};
    int err = parse_text(&t, &parts);
    if (err)
        parts.name_index = parts.ext_index = parts.volume_len = 0, parts.rooted = 0;
    if (out_volume_chars)
        *out_volume_chars = parts.volume_len;
    if (out_rooted)
        *out_rooted = parts.rooted;
    if (out_name_index)
        *out_name_index = parts.name_index;
    if (out_ext_index)
        *out_ext_index = parts.ext_index;
    return err;
}

int f8_path_parse(const char* name, size_t* out_volume_chars, int* out_rooted,
                  size_t* out_name_index, size_t* out_ext_index)
{
    return path_parse_(name, 0, out_volume_chars, out_rooted, out_name_index, out_ext_index);
}

int fw_path_parse(const wchar_t* name, size_t* out_volume_chars, int* out_rooted,
                  size_t* out_name_index, size_t* out_ext_index)
{
    return path_parse_(name, 1, out_volume_chars, out_rooted, out_name_index, out_ext_index);
}

/* ---- normalise ------------------------------------------------------ */

/* Number of levels a component goes up: n - 1 for n dots, -1 for a name
 * that is kept. */
static long dots_up(const struct path_text* t, size_t start, size_t n)
{
    size_t i;
    for (i = 0; i < n; i++) {
        if (unit_at(t, start + i) != '.')
            return -1;
    }
    return (long)n - 1;
}

/* Walks the components right to left. With dest null it measures: the kept
 * components' units and separators are returned. With dest it writes them so
 * that the last kept unit lands just before dest_end. *out_up receives the
 * levels left over at the start, *out_first where the first kept component
 * starts in t. */
static size_t walk_components(const struct path_text* t, size_t start, void* dest, size_t dest_end,
                              size_t* out_up, size_t* out_first)
{
    size_t up = 0, kept_len = 0, end = t->len, pos = dest_end;
    while (end > start) {
        size_t comp_end, comp_start, n, i;
        long levels;
        while (end > start && is_sep(unit_at(t, end - 1)))
            end--;
        comp_end = end;
        while (end > start && !is_sep(unit_at(t, end - 1)))
            end--;
        comp_start = end;
        n = comp_end - comp_start;
        if (n == 0)
            break;
        levels = dots_up(t, comp_start, n);
        if (levels >= 0) {
            up += (size_t)levels;
            continue;
        }
        if (up > 0) {
            up--;
            continue;
        }
        if (dest) {
            if (kept_len > 0)
                unit_put(dest, t->wide, --pos, '/');
            for (i = n; i > 0; i--)
                unit_put(dest, t->wide, --pos, unit_at(t, comp_start + i - 1));
        }
        kept_len += n + (kept_len > 0);
        *out_first = comp_start;
    }
    *out_up = up;
    return kept_len;
}

static void* path_normalize_(malloc_i* res_ma, const void* name, int wide)
{
    struct path_text t = text_of(name, wide);
    struct path_parts parts;
    size_t up, kept_len, total, i, first = 0, unit_size = wide ? sizeof(wchar_t) : 1;
    int dot, dot_sep, ends_with_sep, trailing_sep;
    void* dest;
    if (parse_text(&t, &parts) != 0)
        return 0;
    kept_len = walk_components(&t, parts.volume_len, 0, 0, &up, &first);
    if (parts.rooted)
        up = 0;
    /* A first component such as "a:" that would read as a volume in front
     * ("./a:" stays "./a:"). */
    dot_sep = parts.volume_len == 0 && !parts.rooted && up == 0 && kept_len >= 2 &&
              is_letter(unit_at(&t, first)) && unit_at(&t, first + 1) == ':';
    /* An empty relative result is "." (after a volume: "C:." keeps "C:" relative). */
    dot = !parts.rooted && up == 0 && kept_len == 0;
    ends_with_sep = kept_len == 0 && (parts.rooted || up > 0);
    trailing_sep = is_sep(unit_at(&t, t.len - 1)) && !ends_with_sep;
    total = parts.volume_len + (size_t)parts.rooted + 3 * up + (size_t)dot + 2 * (size_t)dot_sep +
            kept_len;
    dest = ma_alloc(res_ma, (total + (size_t)trailing_sep + 1) * unit_size);
    if (!dest)
        return 0;
    for (i = 0; i < parts.volume_len; i++) {
        uint32_t u = unit_at(&t, i);
        unit_put(dest, wide, i, is_sep(u) ? '/' : u);
    }
    if (parts.rooted)
        unit_put(dest, wide, i++, '/');
    for (; up > 0; up--) {
        unit_put(dest, wide, i++, '.');
        unit_put(dest, wide, i++, '.');
        unit_put(dest, wide, i++, '/');
    }
    if (dot)
        unit_put(dest, wide, i, '.');
    if (dot_sep) {
        unit_put(dest, wide, i++, '.');
        unit_put(dest, wide, i, '/');
    }
    walk_components(&t, parts.volume_len, dest, total, &up, &first);
    if (trailing_sep)
        unit_put(dest, wide, total, '/');
    return dest; /* the allocator's zero fill terminates */
}

char* f8_path_normalize(malloc_i* res_ma, const char* name)
{
    return (char*)path_normalize_(res_ma, name, 0);
}

wchar_t* fw_path_normalize(malloc_i* res_ma, const wchar_t* name)
{
    return (wchar_t*)path_normalize_(res_ma, name, 1);
}

/* ---- join ------------------------------------------------------------ */

static void* path_cat_(malloc_i* res_ma, const void* folder, const void* name, int wide)
{
    struct path_text f = text_of(folder, wide), n = text_of(name, wide);
    size_t f_len = f.len, n_start = 0, total, i, pos = 0, unit_size = wide ? sizeof(wchar_t) : 1;
    int joined = f.len > 0;
    void* dest;
    if (joined) {
        if (is_sep(unit_at(&f, f_len - 1)))
            f_len--;
        if (n.len > 0 && is_sep(unit_at(&n, 0)))
            n_start = 1;
    }
    total = f_len + (joined ? 1 : 0) + n.len - n_start;
    dest = ma_alloc(res_ma, (total + 1) * unit_size);
    if (!dest)
        return 0;
    for (i = 0; i < f_len; i++)
        unit_put(dest, wide, pos++, unit_at(&f, i));
    if (joined)
        unit_put(dest, wide, pos++, '/');
    for (i = n_start; i < n.len; i++)
        unit_put(dest, wide, pos++, unit_at(&n, i));
    return dest;
}

char* f8_path_cat(malloc_i* res_ma, const char* folder, const char* name)
{
    return (char*)path_cat_(res_ma, folder, name, 0);
}

wchar_t* fw_path_cat(malloc_i* res_ma, const wchar_t* folder, const wchar_t* name)
{
    return (wchar_t*)path_cat_(res_ma, folder, name, 1);
}

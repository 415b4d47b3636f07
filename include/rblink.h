/*
 * rblink.h - intrusive red-black tree with parent pointers.
 *
 * The link lives inside the caller's record and the tree never allocates.
 * A tree is named by its center: a pointer to the root link, null when the
 * tree is empty. The caller supplies the order at every call through a
 * comparison callback; links that compare equal keep the positions the
 * caller chose when inserting them.
 *
 * Colours live on the edges: a link stores the colour of the edge to each
 * child, and a link's own colour is the one its parent stores for it (the
 * root has none). That costs two bytes per link and leaves six bytes of the
 * 32-byte link to the embedding record.
 *
 * Invariants: no red edge leads to a link that has a red edge to a child;
 * every path from the root to a missing child crosses the same number of
 * black edges; an unlinked link has no parent and is not the root.
 *
 * No locking: the owner of a tree serialises every call on it. Misuse is
 * reported by assertions only. One source for user mode and the kernel.
 *
 *     rblink_t* root = 0;
 *     rblink_find_insert(&root, by_key, &key, &rec->link);
 */
#ifndef RBLINK_H
#define RBLINK_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    rblink_side_left = 0,
    rblink_side_right = 1,
};

enum {
    rblink_color_red = 0,
    rblink_color_black = 1,
    rblink_color_empty = 255, /* no child on that side */
};

/* Depth bound of the upward rebalancing walks: far above the height of any
 * tree that fits in memory, so reaching it means the tree is corrupt. */
enum { rblink_max_stack_count = 100 };

typedef struct rblink_t {
    struct rblink_t* top;            /* parent, null for the root */
    struct rblink_t* sides[2];       /* left and right children */
    unsigned char side_colors[2];    /* colour of the edge to each child */
    unsigned char user[6];           /* free for the embedding record */
} rblink_t;

/* The sign of (param - link). */
typedef int (*rblink_comp_t)(const void* param, const rblink_t* link);

/* The colour the parent stores for link; -1 for the root. */
int rblink_color(const rblink_t* link);

/*
 * Searches. They are inline so that a comparator known at the call site is
 * inlined into the descent loop: the comparison is most of a search's work.
 */

/* The leftmost link equal to param, or null; out_prev (may be null)
 * receives the last link less than param. */
static inline rblink_t* rblink_find_2(rblink_t* const* center, rblink_comp_t comp,
                                      const void* param, rblink_t** out_prev)
{
    rblink_t* link = *center;
    rblink_t* found = 0;
    rblink_t* prev = 0;
    while (link) {
        int c = comp(param, link);
        if (c > 0) {
            prev = link;
            link = link->sides[rblink_side_right];
        } else {
            if (c == 0)
                found = link;
            link = link->sides[rblink_side_left];
        }
    }
    if (out_prev)
        *out_prev = prev;
    return found;
}

/* The leftmost link equal to param, or null. */
static inline rblink_t* rblink_find(rblink_t* const* center, rblink_comp_t comp,
                                    const void* param)
{
    return rblink_find_2(center, comp, param, 0);
}

/* The greatest link strictly less than param, or null. */
static inline rblink_t* rblink_find_prev(rblink_t* const* center, rblink_comp_t comp,
                                         const void* param)
{
    rblink_t* prev;
    (void)rblink_find_2(center, comp, param, &prev);
    return prev;
}

/* In-order neighbours; a null link gives the first (next) or last (prev)
 * link of the tree whose root is given. Null past either end. */
rblink_t* rblink_next(rblink_t* root, rblink_t* link);
rblink_t* rblink_prev(rblink_t* root, rblink_t* link);
static inline rblink_t* rblink_first(rblink_t* root)
{
    return rblink_next(root, 0);
}

/* True when link is the root or has a parent. */
static inline int rblink_is_linked(const rblink_t* root, const rblink_t* link)
{
    return link == root || link->top != 0;
}

/* Links new_link immediately after prev_link (first when prev_link is null). */
void rblink_insert(rblink_t** center, rblink_t* prev_link, rblink_t* new_link);
/* Unlinks link; afterwards it has no parent and no children. */
void rblink_remove(rblink_t** center, rblink_t* link);

/* Inserts link before every link equal to param. */
static inline void rblink_find_insert(rblink_t** center, rblink_comp_t comp, const void* param,
                                      rblink_t* link)
{
    rblink_insert(center, rblink_find_prev(center, comp, param), link);
}

#ifdef __cplusplus
}
#endif

#endif

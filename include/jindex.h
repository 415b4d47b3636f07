/*
 * jindex.h - join index: an intrusive treap navigated through positions.
 *
 * A link is two pointers: no parent, no stored priority. The heap priority
 * of a link is the hash of its address, so the shape of the tree depends
 * only on which links it holds, never on the order they came in. Links are
 * in the caller's order; links that compare equal are ordered by ascending
 * address. A child's priority is never smaller than its parent's.
 *
 * Without parent pointers, walking needs a position: the path from the root
 * to the current link (at most ji_max links). A position with count 0 is
 * the end, which lies between the last and the first link. A position stays
 * valid until the tree is changed by anything but an insertion through it.
 *
 * No locking: the owner of a tree serialises every call on it. Misuse is
 * reported by assertions only. One source for user mode and the kernel.
 *
 *     ji_center_t names = {0, by_name2};
 *     ji_insert(&names, by_name, "key", &rec->link);
 */
#ifndef JINDEX_H
#define JINDEX_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ji_side_left = 0,
    ji_side_right = 1,
};

enum { ji_max = 58 };

typedef struct ji_link_t {
    union {
        struct {
            struct ji_link_t* left;
            struct ji_link_t* right;
        };
        struct ji_link_t* sides[2];
    };
} ji_link_t;

/* The sign of (param - link). */
typedef int (*ji_comp_t)(const void* param, const ji_link_t* link);
/* The sign of (link1 - link2). */
typedef int (*ji_comp2_t)(const ji_link_t* link1, const ji_link_t* link2);

typedef struct ji_center_t {
    ji_link_t* link;  /* root, null when empty */
    ji_comp2_t comp2; /* the order validation checks; may be null */
} ji_center_t;

typedef struct ji_pos_t {
    ji_center_t* center;
    int count;                /* valid entries of links; 0 = the end */
    ji_link_t* links[ji_max]; /* root first, the current link last */
} ji_pos_t;

/* The link a position rests on, null at the end. */
static inline ji_link_t* ji_pos_link(const ji_pos_t* pos)
{
    return pos->count ? pos->links[pos->count - 1] : 0;
}

/* Sets the end position of the tree. */
void ji_pos_init(ji_pos_t* pos, ji_center_t* center);
/* The first link equal to param, with the position on it; else null with
 * the position on the first link greater than param, or the end. */
ji_link_t* ji_pos_find(ji_pos_t* pos, ji_center_t* center, ji_comp_t comp, const void* param);
/* 1 with the position on exactly link1 (key, then address); else 0 with
 * the position where link1 belongs for ji_pos_insert. */
int ji_pos_seek(ji_pos_t* pos, ji_center_t* center, ji_comp_t comp, const void* param,
                const ji_link_t* link1);
/* Moves to the neighbour on side (0 previous, 1 next) and returns it; from
 * the end, 0 gives the last link and 1 the first; past either end the
 * position becomes the end and the result is null. */
ji_link_t* ji_pos_adjacent(ji_pos_t* pos, int side);
/* Inserts link immediately before the position (as the last link at the
 * end); the position then rests on link. */
void ji_pos_insert(ji_pos_t* pos, ji_link_t* link);
/* Removes the link at the position; the position becomes invalid. */
void ji_pos_remove(ji_pos_t* pos);

ji_link_t* ji_find(ji_center_t* center, ji_comp_t comp, const void* param);
/* link must not be in the tree. */
void ji_insert(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link);
/* link must be in the tree. */
void ji_remove(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link);
/* Null after inserting link, or the existing link equal to param (nothing
 * inserted). */
ji_link_t* ji_insert_if(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link);
/* 1 after removing link, 0 when it was not in the tree. */
int ji_remove_if(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link);

/* Whole-tree check (order by comp2 when set, address order among equals,
 * priorities, depth) and check of a position's path. Assertion failures. */
void ji_validate(const ji_center_t* center);
void ji_pos_validate(const ji_pos_t* pos);

#ifdef __cplusplus
}
#endif

#endif

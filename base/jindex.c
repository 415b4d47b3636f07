/*
 * jindex.c - join index: a treap without parent pointers or stored
 * priorities, walked through explicit positions.
 *
 * Layout: a link is its two children. The priority of a link is the hash
 * of its address; every child's priority is greater than or equal to its
 * parent's, so the root holds the smallest. Because the priorities are
 * fixed by the addresses, the tree's shape is that of a random binary tree
 * whatever the order of insertion; its depth is capped at ji_max.
 *
 * A position (ji_pos_t) is the path from the root to its link. Searches
 * fill it on the way down; stepping to a neighbour climbs and descends it;
 * insertion extends it to the new leaf and shortens it as the link rotates
 * up; removal rotates the link down to a leaf and cuts it, which needs only
 * the pointer that holds the link, taken from the path.
 *
 * Invariants: in-order sequence by the caller's comparator, equal links by
 * ascending address; heap order on priorities; depth <= ji_max.
 *
 * No locks: the tree's owner serialises access.
 */
#include "jindex.h"

#include "bitops.h"

/* The heap priority: a hash of the link's address. */
static inline uint32_t ji_priority(const ji_link_t* link)
{
    return bits_hash_ptr(link);
}

/* Address order, which ranks links with equal keys. */
static inline int ji_address_order(const ji_link_t* link1, const ji_link_t* link2)
{
    return ((size_t)link1 > (size_t)link2) - ((size_t)link1 < (size_t)link2);
}

static inline void ji_pos_push(ji_pos_t* pos, ji_link_t* link)
{
    if (pos->count >= ji_max)
        qp_assert_failed(__FILE__, __LINE__, "ji_pos_t link stack overflow detected");
    pos->links[pos->count++] = link;
}

/* The pointer that holds the path's entry posi: the center or a child slot. */
static ji_link_t** ji_pos_slot(ji_pos_t* pos, int posi)
{
    ji_link_t* up;
    int top_side;
    ji_link_t** top;

    if (!posi)
        return &pos->center->link;
    up = pos->links[posi - 1];
    top_side = up->right == pos->links[posi];
    top = &up->sides[top_side];
    QP_ASSERT(*top == pos->links[posi]);
    return top;
}

/* Extends the path to the outermost link on `side` below the current one. */
static ji_link_t* ji_pos_descend(ji_pos_t* pos, int side)
{
    ji_link_t* link = pos->links[pos->count - 1];
    while (link->sides[side]) {
        link = link->sides[side];
        ji_pos_push(pos, link);
    }
    return link;
}

void ji_pos_init(ji_pos_t* pos, ji_center_t* center)
{
    QP_ASSERT(pos && center);
    pos->center = center;
    pos->count = 0;
}

ji_link_t* ji_pos_find(ji_pos_t* pos, ji_center_t* center, ji_comp_t comp, const void* param)
{
    ji_link_t* link;
    int found_count = 0;
    int found_equal = 0;

    ji_pos_init(pos, center);
    for (link = center->link; link;) {
        int c;
        ji_pos_push(pos, link);
        c = comp(param, link);
        if (c <= 0) {
            found_count = pos->count;
            found_equal = c == 0;
            link = link->left;
        } else {
            link = link->right;
        }
    }
    pos->count = found_count;
    return found_equal ? ji_pos_link(pos) : 0;
}

int ji_pos_seek(ji_pos_t* pos, ji_center_t* center, ji_comp_t comp, const void* param,
                const ji_link_t* link1)
{
    ji_link_t* link;
    int after_count = 0;

    QP_ASSERT(link1);
    ji_pos_init(pos, center);
    for (link = center->link; link;) {
        int c;
        ji_pos_push(pos, link);
        c = comp(param, link);
        if (!c)
            c = ji_address_order(link1, link);
        if (!c)
            return 1;
        if (c < 0) {
            after_count = pos->count;
            link = link->left;
        } else {
            link = link->right;
        }
    }
    pos->count = after_count;
    return 0;
}

ji_link_t* ji_pos_adjacent(ji_pos_t* pos, int side)
{
    ji_link_t* link;

    QP_ASSERT(pos->center && (side == ji_side_left || side == ji_side_right));
    if (!pos->count) {
        if (!pos->center->link)
            return 0;
        ji_pos_push(pos, pos->center->link);
        return ji_pos_descend(pos, !side);
    }
    link = pos->links[pos->count - 1];
    if (link->sides[side]) {
        ji_pos_push(pos, link->sides[side]);
        return ji_pos_descend(pos, !side);
    }
    /* climb out of every subtree we are the `side`-most link of */
    while (--pos->count > 0) {
        ji_link_t* up = pos->links[pos->count - 1];
        if (up->sides[!side] == link)
            return up;
        link = up;
    }
    return 0;
}

/* Rotates the position's link up while its priority is below its parent's;
 * the path shortens with it and keeps resting on the link. */
static void ji_pos_lift(ji_pos_t* pos)
{
    int posi = pos->count - 1;
    ji_link_t* link = pos->links[posi];
    uint32_t link_pri = ji_priority(link);

    while (posi && link_pri < ji_priority(pos->links[posi - 1])) {
        ji_link_t* up = pos->links[posi - 1];
        ji_link_t** top = ji_pos_slot(pos, posi - 1);
        int up_side = up->right == link;

        QP_ASSERT(*top == up);
        QP_ASSERT(up->sides[up_side] == link);
        up->sides[up_side] = link->sides[!up_side];
        link->sides[!up_side] = up;
        *top = link;
        pos->links[--posi] = link;
    }
    pos->count = posi + 1;
}

void ji_pos_insert(ji_pos_t* pos, ji_link_t* link)
{
    ji_link_t* up;
    int up_side;
    int posi;

    QP_ASSERT(pos->center && link);
    link->left = link->right = 0;
    if (!pos->center->link) {
        QP_ASSERT(!pos->count);
        pos->center->link = link;
        ji_pos_push(pos, link);
        return;
    }
    if (!pos->count) {
        /* before the end: behind the last link */
        ji_pos_push(pos, pos->center->link);
        ji_pos_descend(pos, ji_side_right);
        up_side = ji_side_right;
    } else if (!pos->links[pos->count - 1]->left) {
        up_side = ji_side_left;
    } else {
        /* behind the previous link, whose right side is free */
        ji_pos_push(pos, pos->links[pos->count - 1]->left);
        ji_pos_descend(pos, ji_side_right);
        up_side = ji_side_right;
    }
    posi = pos->count;
    QP_ASSERT(posi);
    up = pos->links[posi - 1];
    QP_ASSERT(!up->sides[up_side]);
    up->sides[up_side] = link;
    ji_pos_push(pos, link);
    ji_pos_lift(pos);
}

void ji_pos_remove(ji_pos_t* pos)
{
    ji_link_t* link;
    ji_link_t** top;

    QP_ASSERT(pos->count);
    QP_ASSERT(pos->center);
    link = pos->links[pos->count - 1];
    top = ji_pos_slot(pos, pos->count - 1);
    QP_ASSERT(*top == link);
    while (link->left || link->right) {
        int lift_side = link->left && (!link->right ||
                                       ji_priority(link->left) <= ji_priority(link->right))
                            ? ji_side_left
                            : ji_side_right;
        ji_link_t* child = link->sides[lift_side];

        link->sides[lift_side] = child->sides[!lift_side];
        child->sides[!lift_side] = link;
        *top = child;
        top = &child->sides[!lift_side];
    }
    QP_ASSERT(!link->left && !link->right);
    *top = 0;
    pos->center = 0;
    pos->count = 0;
}

/* ---- whole-tree forms ---------------------------------------------------- */

ji_link_t* ji_find(ji_center_t* center, ji_comp_t comp, const void* param)
{
    ji_pos_t pos;
    return ji_pos_find(&pos, center, comp, param);
}

void ji_insert(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link)
{
    ji_pos_t pos;
    int linked = ji_pos_seek(&pos, center, comp, param, link);
    QP_ASSERT(!linked);
    ji_pos_insert(&pos, link);
}

void ji_remove(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link)
{
    int removed = ji_remove_if(center, comp, param, link);
    QP_ASSERT(removed);
}

ji_link_t* ji_insert_if(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link)
{
    ji_pos_t pos;
    ji_link_t* found = ji_pos_find(&pos, center, comp, param);
    if (found) {
        QP_ASSERT(found != link);
        return found;
    }
    ji_pos_insert(&pos, link);
    return 0;
}

int ji_remove_if(ji_center_t* center, ji_comp_t comp, const void* param, ji_link_t* link)
{
    ji_pos_t pos;
    if (!ji_pos_seek(&pos, center, comp, param, link))
        return 0;
    ji_pos_remove(&pos);
    return 1;
}

/* ---- validation ------------------------------------------------------------ */

void ji_pos_validate(const ji_pos_t* pos)
{
    int i;
    QP_ASSERT(pos->center);
    QP_ASSERT(pos->count >= 0 && pos->count <= ji_max);
    if (pos->count)
        QP_ASSERT(pos->links[0] == pos->center->link);
    for (i = 1; i < pos->count; ++i)
        QP_ASSERT(pos->links[i] && (pos->links[i - 1]->left == pos->links[i] ||
                                    pos->links[i - 1]->right == pos->links[i]));
}

/* Heap order of link over its children. */
static void ji_validate_priorities(const ji_link_t* link)
{
    uint32_t link_pri = ji_priority(link);
    if (link->left) {
        uint32_t left_pri = ji_priority(link->left);
        QP_ASSERT(left_pri >= link_pri);
    }
    if (link->right) {
        uint32_t right_pri = ji_priority(link->right);
        QP_ASSERT(right_pri >= link_pri);
    }
}

/* Walks every link in order with a position, whose path bounds the depth;
 * checks heap order at each link and the order of consecutive links, which
 * together with the walk itself is the whole search-tree order. */
void ji_validate(const ji_center_t* center)
{
    ji_pos_t pos;
    const ji_link_t* prev = 0;
    const ji_link_t* link;

    ji_pos_init(&pos, (ji_center_t*)center);
    while ((link = ji_pos_adjacent(&pos, ji_side_right)) != 0) {
        QP_ASSERT(pos.count <= ji_max);
        ji_validate_priorities(link);
        if (prev && center->comp2) {
            int c = center->comp2(prev, link);
            QP_ASSERT(c < 0 || (c == 0 && ji_address_order(prev, link) < 0));
        }
        prev = link;
    }
}

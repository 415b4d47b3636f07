/*
 * rblink.c - intrusive red-black tree with colours on the edges.
 *
 * Layout: every link holds its parent, its two children and the colour of
 * the edge to each child (rblink_color_empty where a child is missing). A
 * link's own colour is therefore read from its parent, and the root has no
 * colour at all: it counts as black.
 *
 * Invariants: a red edge never leads to a link with a red edge below it;
 * every root-to-missing-child path crosses the same number of black edges;
 * the in-order sequence is the caller's order, equal links in the order of
 * the insertion positions the caller chose.
 *
 * Links are embedded in their owners' records, so removal exchanges links
 * in the structure and never copies payloads. Rebalancing walks upward along
 * parent pointers, at most rblink_max_stack_count steps: a longer walk means
 * a cycle in a corrupt tree and is an assertion failure, not a hang.
 *
 * No locks: the tree's owner serialises access.
 */
#include "rblink.h"

/* Which side of its parent link hangs on; link must have a parent. */
static inline int rblink_side(const rblink_t* link)
{
    return link->top->sides[rblink_side_right] == link;
}

/* The pointer that holds link: its parent's child slot or the center. */
static inline rblink_t** rblink_slot(rblink_t** center, rblink_t* link)
{
    return link->top ? &link->top->sides[rblink_side(link)] : center;
}

/* Where link's own colour is kept; null for the root, which has none. */
static inline unsigned char* rblink_color_slot(rblink_t* link)
{
    return link->top ? &link->top->side_colors[rblink_side(link)] : 0;
}

static inline int rblink_is_red(rblink_t* link)
{
    const unsigned char* color = rblink_color_slot(link);
    return color && *color == rblink_color_red;
}

int rblink_color(const rblink_t* link)
{
    return link->top ? link->top->side_colors[rblink_side(link)] : -1;
}

/* Counts one more step of an upward walk and stops a runaway one. */
static inline void rblink_climb(int* stack_count)
{
    if (*stack_count + 1 >= rblink_max_stack_count)
        qp_assert_failed(__FILE__, __LINE__, "stack_count+1 < max_stack_count");
    ++*stack_count;
}

/* ---- traversal --------------------------------------------------------- */

/* The outermost link on side `side` below link. */
static rblink_t* rblink_extreme(rblink_t* link, int side)
{
    while (link->sides[side])
        link = link->sides[side];
    return link;
}

/* In-order neighbour in direction side (1 = successor, 0 = predecessor). */
static rblink_t* rblink_step(rblink_t* root, rblink_t* link, int side)
{
    if (!link)
        return root ? rblink_extreme(root, !side) : 0;
    if (link->sides[side])
        return rblink_extreme(link->sides[side], !side);
    while (link->top && rblink_side(link) == side)
        link = link->top;
    return link->top;
}

rblink_t* rblink_next(rblink_t* root, rblink_t* link)
{
    return rblink_step(root, link, rblink_side_right);
}

rblink_t* rblink_prev(rblink_t* root, rblink_t* link)
{
    return rblink_step(root, link, rblink_side_left);
}

/* ---- structure --------------------------------------------------------- */

/*
 * Rotates link down towards `side`: its child on the other side takes its
 * place and keeps the colour of that place; the edge from the lifted child
 * down to link gets `down_color`. The lifted child's inner subtree moves to
 * link together with the colour of its edge.
 */
static rblink_t* rblink_rotate(rblink_t** center, rblink_t* link, int side,
                               unsigned char down_color)
{
    rblink_t** slot = rblink_slot(center, link);
    rblink_t* up = link->sides[!side];
    rblink_t* inner = up->sides[side];

    link->sides[!side] = inner;
    link->side_colors[!side] = up->side_colors[side];
    if (inner)
        inner->top = link;

    up->top = link->top;
    *slot = up;

    up->sides[side] = link;
    up->side_colors[side] = down_color;
    link->top = up;
    return up;
}

/* Puts `to` where `from` hangs: parent slot, parent pointer. */
static void rblink_take_place(rblink_t** center, rblink_t* from, rblink_t* to)
{
    *rblink_slot(center, from) = to;
    to->top = from->top;
}

static void rblink_adopt_children(rblink_t* link)
{
    if (link->sides[rblink_side_left])
        link->sides[rblink_side_left]->top = link;
    if (link->sides[rblink_side_right])
        link->sides[rblink_side_right]->top = link;
}

/*
 * Exchanges the places of link and low in the tree, where low lies in
 * link's subtree. Colours of the edges to children stay with the places;
 * the colour of each link's own edge is kept by the parent, which also
 * stays. Nothing of the embedding records moves.
 */
static void rblink_exchange(rblink_t** center, rblink_t* link, rblink_t* low)
{
    rblink_t saved = *link;
    int low_side = rblink_side(low);
    rblink_t* low_top = low->top;
    unsigned char colors[2] = {link->side_colors[0], link->side_colors[1]};

    rblink_take_place(center, link, low);
    link->sides[0] = low->sides[0];
    link->sides[1] = low->sides[1];
    link->side_colors[0] = low->side_colors[0];
    link->side_colors[1] = low->side_colors[1];
    low->side_colors[0] = colors[0];
    low->side_colors[1] = colors[1];
    low->sides[0] = saved.sides[0];
    low->sides[1] = saved.sides[1];
    if (low_top == link) {
        /* low was link's child: link hangs below low on that side now */
        low->sides[low_side] = link;
        link->top = low;
    } else {
        low_top->sides[low_side] = link;
        link->top = low_top;
    }
    rblink_adopt_children(link);
    rblink_adopt_children(low);
}

/* ---- insertion --------------------------------------------------------- */

/*
 * Restores the invariants after link was attached to its parent with a red
 * edge. Only a red parent edge needs work: a red uncle moves the double red
 * two levels up by recolouring, a black one ends it with one or two
 * rotations.
 */
static void rblink_insert_fixup(rblink_t** center, rblink_t* link)
{
    int stack_count = 0;
    for (;;) {
        rblink_t* parent = link->top;
        rblink_t* grand;
        int parent_side;
        unsigned char* grand_color;

        QP_ASSERT(link->top && rblink_color(link) == rblink_color_red);
        if (!rblink_is_red(parent))
            return;
        grand = parent->top;
        parent_side = rblink_side(parent);
        if (grand->side_colors[!parent_side] == rblink_color_red) {
            grand->side_colors[0] = grand->side_colors[1] = rblink_color_black;
            grand_color = rblink_color_slot(grand);
            if (!grand_color)
                return;
            *grand_color = rblink_color_red;
            link = grand;
            rblink_climb(&stack_count);
            continue;
        }
        if (rblink_side(link) != parent_side)
            rblink_rotate(center, parent, parent_side, rblink_color_red);
        rblink_rotate(center, grand, !parent_side, rblink_color_red);
        return;
    }
}

void rblink_insert(rblink_t** center, rblink_t* prev_link, rblink_t* new_link)
{
    rblink_t* link1;
    int new_link_side;

    QP_ASSERT(center && new_link);
    new_link->sides[0] = new_link->sides[1] = 0;
    new_link->side_colors[0] = new_link->side_colors[1] = rblink_color_empty;

    if (!prev_link) {
        link1 = *center ? rblink_extreme(*center, rblink_side_left) : 0;
        new_link_side = rblink_side_left;
    } else if (!prev_link->sides[rblink_side_right]) {
        link1 = prev_link;
        new_link_side = rblink_side_right;
    } else {
        link1 = rblink_extreme(prev_link->sides[rblink_side_right], rblink_side_left);
        new_link_side = rblink_side_left;
    }

    if (!link1) {
        QP_ASSERT(!*center);
        new_link->top = 0;
        *center = new_link;
        return;
    }
    QP_ASSERT(link1 && !link1->sides[new_link_side]);
    link1->sides[new_link_side] = new_link;
    link1->side_colors[new_link_side] = rblink_color_red;
    new_link->top = link1;
    rblink_insert_fixup(center, new_link);
}

/* ---- removal ----------------------------------------------------------- */

/*
 * The subtree on `side` of parent has one black edge too few. A red sibling
 * is first rotated above parent; then a sibling without red children turns
 * red and passes the shortage up (or absorbs it into a red parent edge),
 * and a sibling with a red child ends it with one or two rotations.
 */
static void rblink_remove_fixup(rblink_t** center, rblink_t* parent, int side)
{
    int stack_count = 0;
    for (;;) {
        rblink_t* sibling = parent->sides[!side];
        unsigned char* parent_color;

        QP_ASSERT(sibling);
        if (parent->side_colors[!side] == rblink_color_red) {
            rblink_rotate(center, parent, side, rblink_color_red);
            sibling = parent->sides[!side];
            QP_ASSERT(sibling && parent->side_colors[!side] == rblink_color_black);
        }
        if (sibling->side_colors[!side] != rblink_color_red) {
            if (sibling->side_colors[side] != rblink_color_red) {
                parent->side_colors[!side] = rblink_color_red;
                parent_color = rblink_color_slot(parent);
                if (!parent_color)
                    return;
                if (*parent_color == rblink_color_red) {
                    *parent_color = rblink_color_black;
                    return;
                }
                side = rblink_side(parent);
                parent = parent->top;
                rblink_climb(&stack_count);
                continue;
            }
            sibling = rblink_rotate(center, sibling, !side, rblink_color_red);
        }
        /* the sibling's far edge is red: lift the sibling above parent */
        rblink_rotate(center, parent, side, rblink_color_black);
        sibling->side_colors[!side] = rblink_color_black;
        return;
    }
}

void rblink_remove(rblink_t** center, rblink_t* real_remove_link)
{
    rblink_t* remove_link = real_remove_link;
    rblink_t* parent;
    rblink_t* child;
    int link2_side;
    int child_side;
    unsigned char removed_color;

    QP_ASSERT(center && *center && real_remove_link);
    QP_ASSERT(rblink_is_linked(*center, real_remove_link));
    if (remove_link->sides[0] && remove_link->sides[1])
        rblink_exchange(center, remove_link,
                        rblink_extreme(remove_link->sides[rblink_side_left], rblink_side_right));

    /* now remove_link has at most one child */
    child_side = remove_link->sides[rblink_side_left] ? rblink_side_left : rblink_side_right;
    child = remove_link->sides[child_side];
    QP_ASSERT(remove_link->side_colors[!child_side] == rblink_color_empty);
    parent = remove_link->top;

    if (!parent) {
        *center = child;
        if (child)
            child->top = 0;
    } else {
        link2_side = rblink_side(remove_link);
        removed_color = parent->side_colors[link2_side];
        parent->sides[link2_side] = child;
        if (child) {
            /* a lone child is a red leaf: it takes the removed black edge */
            QP_ASSERT(remove_link->side_colors[child_side] == rblink_color_red);
            child->top = parent;
            parent->side_colors[link2_side] = rblink_color_black;
        } else {
            parent->side_colors[link2_side] = rblink_color_empty;
            if (removed_color == rblink_color_black)
                rblink_remove_fixup(center, parent, link2_side);
        }
    }

    remove_link->top = 0;
    remove_link->sides[0] = remove_link->sides[1] = 0;
    remove_link->side_colors[0] = remove_link->side_colors[1] = rblink_color_empty;
}

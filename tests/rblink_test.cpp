// Tests of the intrusive red-black tree: the invariants after every change,
// the placement of equal keys, traversal, and a randomized differential run
// against std::multimap.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "rblink.h"

namespace {

struct Item {
    int key;
    rblink_t link;
};

Item* item_of(rblink_t* link)
{
    return reinterpret_cast<Item*>(reinterpret_cast<char*>(link) - offsetof(Item, link));
}

int by_key(const void* param, const rblink_t* link)
{
    int key = *static_cast<const int*>(param);
    int other = item_of(const_cast<rblink_t*>(link))->key;
    return (key > other) - (key < other);
}

// Checks parent pointers, edge colours, the red rule and equal black
// heights below link; returns the black height.
int check_subtree(const rblink_t* link, int* count)
{
    int heights[2];
    ++*count;
    for (int side = 0; side < 2; ++side) {
        const rblink_t* child = link->sides[side];
        unsigned char color = link->side_colors[side];
        if (!child) {
            EXPECT_EQ(color, rblink_color_empty);
            heights[side] = 0;
            continue;
        }
        EXPECT_EQ(child->top, link);
        EXPECT_TRUE(color == rblink_color_red || color == rblink_color_black);
        if (color == rblink_color_red) {
            EXPECT_NE(child->side_colors[0], rblink_color_red);
            EXPECT_NE(child->side_colors[1], rblink_color_red);
        }
        heights[side] = check_subtree(child, count) + (color == rblink_color_black);
    }
    EXPECT_EQ(heights[0], heights[1]);
    return heights[0];
}

// Whole-tree check: structure, colours, size and non-decreasing keys.
void check_tree(rblink_t* root, int expected_count)
{
    int count = 0;
    if (root) {
        EXPECT_EQ(root->top, nullptr);
        EXPECT_EQ(rblink_color(root), -1);
        check_subtree(root, &count);
    }
    ASSERT_EQ(count, expected_count);
    int walked = 0;
    const Item* prev = nullptr;
    for (rblink_t* link = rblink_first(root); link; link = rblink_next(root, link)) {
        const Item* item = item_of(link);
        if (prev) {
            ASSERT_LE(prev->key, item->key);
        }
        prev = item;
        ++walked;
    }
    ASSERT_EQ(walked, expected_count);
}

std::vector<int> keys_in_order(rblink_t* root)
{
    std::vector<int> keys;
    for (rblink_t* link = rblink_first(root); link; link = rblink_next(root, link))
        keys.push_back(item_of(link)->key);
    return keys;
}

// Inserts keys one by one, then removes them in a random order, checking
// the whole tree after every step.
void insert_then_remove(const std::vector<int>& keys, unsigned seed)
{
    std::vector<Item> items(keys.size());
    rblink_t* root = nullptr;
    for (size_t i = 0; i < keys.size(); ++i) {
        items[i].key = keys[i];
        rblink_find_insert(&root, by_key, &items[i].key, &items[i].link);
        ASSERT_NO_FATAL_FAILURE(check_tree(root, int(i + 1)));
    }
    std::vector<int> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(keys_in_order(root), sorted);

    std::vector<size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    int left = int(items.size());
    for (size_t i : order) {
        rblink_remove(&root, &items[i].link);
        EXPECT_FALSE(rblink_is_linked(root, &items[i].link));
        ASSERT_NO_FATAL_FAILURE(check_tree(root, --left));
    }
    EXPECT_EQ(root, nullptr);
}

// Ascending, descending and shuffled insertion of 1000 links keeps every
// invariant after each step, and so does removal in random order.
TEST(Rblink, InvariantsHoldThroughInsertionOrders)
{
    std::vector<int> keys(1000);
    std::iota(keys.begin(), keys.end(), 0);
    insert_then_remove(keys, 1);
    std::reverse(keys.begin(), keys.end());
    insert_then_remove(keys, 2);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
    insert_then_remove(keys, 4);
    // many duplicates exercise equal keys at every depth
    for (int& key : keys)
        key %= 7;
    insert_then_remove(keys, 5);
}

// A second link equal to an existing one goes before it and becomes the one
// rblink_find returns; rblink_insert after a given link keeps that place.
TEST(Rblink, EqualKeysKeepInsertionPositions)
{
    Item items[6] = {{5, {}}, {5, {}}, {3, {}}, {8, {}}, {5, {}}, {1, {}}};
    rblink_t* root = nullptr;
    for (int i = 0; i < 4; ++i)
        rblink_find_insert(&root, by_key, &items[i].key, &items[i].link);
    EXPECT_EQ(rblink_find(&root, by_key, &items[1].key), &items[1].link);
    EXPECT_EQ(rblink_next(root, &items[1].link), &items[0].link);

    // explicitly after items[0]: the last of the fives
    rblink_insert(&root, &items[0].link, &items[4].link);
    EXPECT_EQ(rblink_next(root, &items[0].link), &items[4].link);
    EXPECT_EQ(rblink_next(root, &items[4].link), &items[3].link);
    // as the very first link
    rblink_insert(&root, nullptr, &items[5].link);
    EXPECT_EQ(rblink_first(root), &items[5].link);
    check_tree(root, 6);

    rblink_t* before = nullptr;
    EXPECT_EQ(rblink_find_2(&root, by_key, &items[0].key, &before), &items[1].link);
    EXPECT_EQ(before, &items[2].link);
    int missing = 4;
    EXPECT_EQ(rblink_find_2(&root, by_key, &missing, &before), nullptr);
    EXPECT_EQ(before, &items[2].link);
    EXPECT_EQ(rblink_find_prev(&root, by_key, &items[2].key), &items[5].link);
    for (Item& item : items)
        rblink_remove(&root, &item.link);
    EXPECT_EQ(root, nullptr);
}

// Traversal from a null link gives the ends; past the ends gives null.
TEST(Rblink, TraversalEnds)
{
    rblink_t* root = nullptr;
    EXPECT_EQ(rblink_first(root), nullptr);
    EXPECT_EQ(rblink_prev(root, nullptr), nullptr);
    Item items[3] = {{1, {}}, {2, {}}, {3, {}}};
    for (Item& item : items)
        rblink_find_insert(&root, by_key, &item.key, &item.link);
    EXPECT_EQ(rblink_first(root), &items[0].link);
    EXPECT_EQ(rblink_prev(root, nullptr), &items[2].link);
    EXPECT_EQ(rblink_next(root, &items[2].link), nullptr);
    EXPECT_EQ(rblink_prev(root, &items[0].link), nullptr);
    EXPECT_EQ(rblink_prev(root, &items[2].link), &items[1].link);

    // removing the root of a three-link tree
    rblink_t* old_root = root;
    rblink_remove(&root, old_root);
    EXPECT_FALSE(rblink_is_linked(root, old_root));
    check_tree(root, 2);
    for (Item& item : items)
        if (&item.link != old_root)
            rblink_remove(&root, &item.link);
    EXPECT_EQ(root, nullptr);
}

// The six user bytes belong to the caller: the tree never touches them.
TEST(Rblink, UserBytesSurvive)
{
    static_assert(sizeof(rblink_t) == 32, "link must stay 32 bytes");
    std::vector<Item> items(200);
    rblink_t* root = nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].key = int(i * 7919 % 200);
        std::fill(std::begin(items[i].link.user), std::end(items[i].link.user),
                  static_cast<unsigned char>(i));
        rblink_find_insert(&root, by_key, &items[i].key, &items[i].link);
    }
    for (size_t i = 0; i < items.size(); i += 2)
        rblink_remove(&root, &items[i].link);
    for (size_t i = 0; i < items.size(); ++i)
        for (unsigned char byte : items[i].link.user)
            ASSERT_EQ(byte, static_cast<unsigned char>(i));
    for (size_t i = 1; i < items.size(); i += 2)
        rblink_remove(&root, &items[i].link);
}

// Random inserts, removals and lookups agree with std::multimap, where
// rblink_find_insert matches inserting before the equal range.
TEST(Rblink, DifferentialAgainstMultimap)
{
    const int pool_size = 4096;
    std::vector<Item> items(pool_size);
    std::vector<int> free_slots(pool_size);
    std::iota(free_slots.begin(), free_slots.end(), 0);
    std::multimap<int, int> model; // key -> slot
    rblink_t* root = nullptr;
    std::mt19937 rng(7);

    for (int op = 0; op < 300000; ++op) {
        int key = int(rng() % 1500);
        unsigned what = rng() % 8;
        if (what < 4 && !free_slots.empty()) {
            int slot = free_slots.back();
            free_slots.pop_back();
            items[slot].key = key;
            rblink_find_insert(&root, by_key, &key, &items[slot].link);
            model.emplace_hint(model.lower_bound(key), key, slot);
        } else if (what < 7 && !model.empty()) {
            // sometimes a link from the middle of an equal range
            auto it = model.lower_bound(key);
            for (unsigned skip = rng() % 3; skip && it != model.end(); --skip)
                ++it;
            if (it == model.end())
                it = model.begin();
            rblink_remove(&root, &items[it->second].link);
            free_slots.push_back(it->second);
            model.erase(it);
        } else {
            auto it = model.lower_bound(key);
            rblink_t* prev = nullptr;
            rblink_t* found = rblink_find_2(&root, by_key, &key, &prev);
            bool equal = it != model.end() && it->first == key;
            ASSERT_EQ(found, equal ? &items[it->second].link : nullptr);
            ASSERT_EQ(prev, it == model.begin() ? nullptr : &items[std::prev(it)->second].link);
        }
        if (op % 20000 == 0) {
            ASSERT_NO_FATAL_FAILURE(check_tree(root, int(model.size())));
        }
    }
    rblink_t* link = rblink_first(root);
    for (const auto& entry : model) {
        ASSERT_EQ(link, &items[entry.second].link);
        link = rblink_next(root, link);
    }
    EXPECT_EQ(link, nullptr);
}

// Removing a link that is not in the tree is misuse, stopped by an assertion.
TEST(RblinkDeath, RemovingUnlinkedLinkAsserts)
{
    Item a{1, {}}, b{2, {}};
    rblink_t* root = nullptr;
    rblink_find_insert(&root, by_key, &a.key, &a.link);
    EXPECT_DEATH(rblink_remove(&root, &b.link), "ASSERT: .*rblink");
    rblink_remove(&root, &a.link);
}

// A corrupt tree far taller than any real one (a chain of red edges with
// red uncles) stops the rebalancing walk at its bound with the documented
// text instead of running on.
TEST(RblinkDeath, RunawayRebalancingStops)
{
    static rblink_t chain[250], uncle, fresh;
    for (int k = 0; k < 250; k++) {
        chain[k].top = k + 1 < 250 ? &chain[k + 1] : nullptr;
        chain[k].sides[0] = k > 0 ? &chain[k - 1] : nullptr;
        chain[k].side_colors[0] = k > 0 ? rblink_color_red : rblink_color_empty;
        chain[k].sides[1] = k > 0 ? &uncle : nullptr;
        chain[k].side_colors[1] = k > 0 ? rblink_color_red : rblink_color_empty;
    }
    rblink_t* root = &chain[249];
    EXPECT_DEATH(rblink_insert(&root, nullptr, &fresh), "stack_count\\+1 < max_stack_count");
}

} // namespace

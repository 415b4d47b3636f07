// Tests of the join index: treap invariants after every change, positions
// and their movement, equal keys ordered by address, the _if forms, misuse
// caught by assertions, and a randomized differential run against
// std::multimap.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <vector>

#include "jindex.h"

namespace {

struct Item {
    int key;
    ji_link_t link;
};

const Item* item_of(const ji_link_t* link)
{
    return reinterpret_cast<const Item*>(reinterpret_cast<const char*>(link) -
                                         offsetof(Item, link));
}

int by_key(const void* param, const ji_link_t* link)
{
    int key = *static_cast<const int*>(param);
    int other = item_of(link)->key;
    return (key > other) - (key < other);
}

int by_key2(const ji_link_t* link1, const ji_link_t* link2)
{
    return by_key(&item_of(link1)->key, link2);
}

std::vector<const ji_link_t*> walk(ji_center_t* center)
{
    std::vector<const ji_link_t*> links;
    ji_pos_t pos;
    ji_pos_init(&pos, center);
    while (const ji_link_t* link = ji_pos_adjacent(&pos, ji_side_right)) {
        ji_pos_validate(&pos);
        links.push_back(link);
    }
    return links;
}

// Sorted by key, then by address: the order the index must keep.
bool index_order(const ji_link_t* a, const ji_link_t* b)
{
    int ka = item_of(a)->key, kb = item_of(b)->key;
    return ka != kb ? ka < kb : a < b;
}

void insert_then_remove(std::vector<Item>& items, unsigned seed)
{
    ji_center_t center = {nullptr, by_key2};
    std::vector<const ji_link_t*> expected;
    for (Item& item : items) {
        ji_insert(&center, by_key, &item.key, &item.link);
        ji_validate(&center);
        expected.push_back(&item.link);
    }
    std::sort(expected.begin(), expected.end(), index_order);
    ASSERT_EQ(walk(&center), expected);

    std::vector<Item*> order;
    for (Item& item : items)
        order.push_back(&item);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    size_t left = items.size();
    for (Item* item : order) {
        ji_remove(&center, by_key, &item->key, &item->link);
        ji_validate(&center);
        EXPECT_EQ(ji_remove_if(&center, by_key, &item->key, &item->link), 0);
        --left;
        if (left % 97 == 0) {
            ASSERT_EQ(walk(&center).size(), left);
        }
    }
    EXPECT_EQ(center.link, nullptr);
}

// Ascending, descending and shuffled insertion of 1000 links, then removal
// in random order, keep the treap valid after every step.
TEST(Jindex, InvariantsHoldThroughInsertionOrders)
{
    std::vector<Item> items(1000);
    for (size_t i = 0; i < items.size(); ++i)
        items[i].key = int(i);
    insert_then_remove(items, 1);
    for (size_t i = 0; i < items.size(); ++i)
        items[i].key = int(items.size() - i);
    insert_then_remove(items, 2);
    std::vector<int> keys(items.size());
    std::iota(keys.begin(), keys.end(), 0);
    std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
    for (size_t i = 0; i < items.size(); ++i)
        items[i].key = keys[i] % 13; // many equal keys
    insert_then_remove(items, 4);
}

// Links with equal keys are ordered by address; ji_find gives the lowest
// address and ji_remove takes out exactly the link it is given.
TEST(Jindex, EqualKeysOrderedByAddress)
{
    Item items[4] = {{2, {}}, {2, {}}, {1, {}}, {2, {}}};
    ji_center_t center = {nullptr, by_key2};
    for (Item* item : {&items[3], &items[1], &items[2], &items[0]})
        ji_insert(&center, by_key, &item->key, &item->link);
    std::vector<const ji_link_t*> expected = {&items[2].link, &items[0].link, &items[1].link,
                                              &items[3].link};
    EXPECT_EQ(walk(&center), expected);
    EXPECT_EQ(ji_find(&center, by_key, &items[0].key), &items[0].link);

    ji_remove(&center, by_key, &items[1].key, &items[1].link);
    expected.erase(expected.begin() + 2);
    EXPECT_EQ(walk(&center), expected);
    ji_pos_t pos;
    EXPECT_EQ(ji_pos_seek(&pos, &center, by_key, &items[1].key, &items[1].link), 0);
    EXPECT_EQ(ji_pos_link(&pos), &items[3].link); // where it would go back in
    for (Item* item : {&items[0], &items[2], &items[3]})
        ji_remove(&center, by_key, &item->key, &item->link);
    EXPECT_EQ(center.link, nullptr);
}

// ji_insert_if refuses an equal key, returning the link already there and
// leaving the tree as it was; with a new key it inserts and returns null.
TEST(Jindex, InsertIfKeepsExisting)
{
    Item a{5, {}}, b{5, {}}, c{6, {}};
    ji_center_t center = {nullptr, by_key2};
    EXPECT_EQ(ji_insert_if(&center, by_key, &a.key, &a.link), nullptr);
    EXPECT_EQ(ji_insert_if(&center, by_key, &b.key, &b.link), &a.link);
    EXPECT_EQ(walk(&center), std::vector<const ji_link_t*>{&a.link});
    EXPECT_EQ(ji_insert_if(&center, by_key, &c.key, &c.link), nullptr);
    EXPECT_EQ(ji_remove_if(&center, by_key, &b.key, &b.link), 0);
    EXPECT_EQ(ji_remove_if(&center, by_key, &a.key, &a.link), 1);
    EXPECT_EQ(ji_remove_if(&center, by_key, &c.key, &c.link), 1);
    EXPECT_EQ(center.link, nullptr);
}

// Positions: find lands on the first equal or the next greater link or the
// end; adjacent steps wrap through the end in both directions.
TEST(Jindex, PositionsFindAndStep)
{
    Item items[5] = {{10, {}}, {20, {}}, {30, {}}, {40, {}}, {50, {}}};
    ji_center_t center = {nullptr, by_key2};
    ji_pos_t pos;
    ji_pos_init(&pos, &center);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_right), nullptr);
    for (Item& item : items)
        ji_insert(&center, by_key, &item.key, &item.link);

    int key = 25;
    EXPECT_EQ(ji_pos_find(&pos, &center, by_key, &key), nullptr);
    EXPECT_EQ(ji_pos_link(&pos), &items[2].link);
    key = 60;
    EXPECT_EQ(ji_pos_find(&pos, &center, by_key, &key), nullptr);
    EXPECT_EQ(pos.count, 0);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_right), &items[0].link);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_left), nullptr);
    EXPECT_EQ(pos.count, 0);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_left), &items[4].link);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_right), nullptr);
    EXPECT_EQ(pos.count, 0);
    key = 40;
    EXPECT_EQ(ji_pos_find(&pos, &center, by_key, &key), &items[3].link);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_left), &items[2].link);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_left), &items[1].link);
    ji_pos_validate(&pos);
    for (Item& item : items)
        ji_remove(&center, by_key, &item.key, &item.link);
}

// Inserting through a position puts the link just before it, leaves the
// position on the new link and keeps it usable for the next insertion;
// at the end position the link becomes the last one.
TEST(Jindex, InsertThroughPosition)
{
    std::vector<Item> items(64);
    ji_center_t center = {nullptr, by_key2};
    ji_pos_t pos;
    ji_pos_init(&pos, &center);
    // descending keys, each inserted before the previous one
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].key = int(1000 - i);
        ji_pos_insert(&pos, &items[i].link);
        ASSERT_EQ(ji_pos_link(&pos), &items[i].link);
        ji_pos_validate(&pos);
        ji_validate(&center);
    }
    Item last{5000, {}};
    ji_pos_init(&pos, &center);
    ji_pos_insert(&pos, &last.link);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_right), nullptr);
    EXPECT_EQ(ji_pos_adjacent(&pos, ji_side_left), &last.link);
    ji_validate(&center);

    ji_pos_find(&pos, &center, by_key, &items[10].key);
    ji_pos_remove(&pos);
    EXPECT_EQ(pos.center, nullptr); // a removal spends the position
    ji_validate(&center);
    EXPECT_EQ(ji_find(&center, by_key, &items[10].key), nullptr);
    ji_remove(&center, by_key, &last.key, &last.link);
    for (size_t i = 0; i < items.size(); ++i)
        if (i != 10)
            ji_remove(&center, by_key, &items[i].key, &items[i].link);
    EXPECT_EQ(center.link, nullptr);
}

// Random inserts, removals and lookups agree with a std::multimap kept in
// the index's own order (key, then address).
TEST(Jindex, DifferentialAgainstMultimap)
{
    const int pool_size = 4096;
    std::vector<Item> items(pool_size);
    std::vector<int> free_slots(pool_size);
    std::iota(free_slots.begin(), free_slots.end(), 0);
    std::multimap<int, Item*> model;
    ji_center_t center = {nullptr, by_key2};
    std::mt19937 rng(11);

    for (int op = 0; op < 300000; ++op) {
        int key = int(rng() % 1500);
        unsigned what = rng() % 8;
        if (what < 4 && !free_slots.empty()) {
            Item* item = &items[free_slots.back()];
            free_slots.pop_back();
            item->key = key;
            ji_insert(&center, by_key, &key, &item->link);
            auto it = model.lower_bound(key);
            while (it != model.end() && it->first == key && it->second < item)
                ++it;
            model.emplace_hint(it, key, item);
        } else if (what < 7 && !model.empty()) {
            // the last link not above key (the last of an equal range), or the
            // very last link when every key is above
            auto it = model.upper_bound(key);
            it = std::prev(it == model.begin() ? model.end() : it);
            Item* item = it->second;
            ji_remove(&center, by_key, &item->key, &item->link);
            free_slots.push_back(int(item - items.data()));
            model.erase(it);
        } else {
            auto it = model.lower_bound(key);
            ji_pos_t pos;
            const ji_link_t* found = ji_pos_find(&pos, &center, by_key, &key);
            bool equal = it != model.end() && it->first == key;
            ASSERT_EQ(found, equal ? &it->second->link : nullptr);
            ASSERT_EQ(ji_pos_link(&pos), it == model.end() ? nullptr : &it->second->link);
            const ji_link_t* prev = ji_pos_adjacent(&pos, ji_side_left);
            ASSERT_EQ(prev, it == model.begin() ? nullptr : &std::prev(it)->second->link);
        }
        if (op % 20000 == 0)
            ji_validate(&center);
    }
    std::vector<const ji_link_t*> expected;
    for (const auto& entry : model)
        expected.push_back(&entry.second->link);
    EXPECT_EQ(walk(&center), expected);
}

// A path deeper than a position can hold is caught, not overrun.
TEST(JindexDeath, DeepPathAsserts)
{
    std::vector<Item> chain(ji_max + 2);
    for (size_t i = 0; i + 1 < chain.size(); ++i) {
        chain[i].key = int(chain.size() - i);
        chain[i].link.left = &chain[i + 1].link;
    }
    chain.back().key = 0;
    ji_center_t center = {&chain[0].link, by_key2};
    int key = -1;
    EXPECT_DEATH(ji_find(&center, by_key, &key), "ji_pos_t link stack overflow detected");
}

// Validation notices a child out of order.
TEST(JindexDeath, ValidateCatchesDisorder)
{
    Item a{1, {}}, b{2, {}};
    ji_center_t center = {nullptr, by_key2};
    ji_insert(&center, by_key, &a.key, &a.link);
    ji_insert(&center, by_key, &b.key, &b.link);
    std::swap(a.key, b.key);
    EXPECT_DEATH(ji_validate(&center), "ASSERT: .*jindex");
    std::swap(a.key, b.key);
    ji_remove(&center, by_key, &a.key, &a.link);
    ji_remove(&center, by_key, &b.key, &b.link);
}

} // namespace

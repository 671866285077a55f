#include "common/hashmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

// Every key hashes to the same home slot, so all entries share one probe run.
uint32_t same_hash(const void *) {
    return 7;
}

// Hash given by the key text "home:name" -> home, to place entries deliberately.
uint32_t home_from_key(const void *key) {
    return static_cast<uint32_t>(std::stoul(static_cast<const char *>(key)));
}

struct MapFixture : ::testing::Test {
    Hashmap map{};
    void TearDown() override { hashmap_destroy(&map); }
    void init_strings(size_t expected) {
        ASSERT_EQ(hashmap_init(&map, hashmap_hash_string, hashmap_compare_string, expected), 0);
        hashmap_set_key_alloc_funcs(&map, hashmap_copy_string, hashmap_free_string);
    }
};

TEST(HashmapString, OneAtATimeValues) {
    EXPECT_EQ(hashmap_hash_string(""), 0u);
    // Reference values of Bob Jenkins' one-at-a-time hash.
    EXPECT_EQ(hashmap_hash_string("a"), 0xca2e9442u);
    EXPECT_EQ(hashmap_hash_string("The quick brown fox jumps over the lazy dog"), 0x519e91f5u);
}

TEST(HashmapInit, TableSizes) {
    struct Case {
        size_t expected;
        size_t slots;
    } cases[] = {{0, 256}, {1, 32}, {10, 32}, {24, 32}, {25, 64}, {48, 64}, {49, 128}};
    for (const Case &c : cases) {
        Hashmap map{};
        ASSERT_EQ(hashmap_init(&map, hashmap_hash_string, hashmap_compare_string, c.expected), 0);
        EXPECT_EQ(map.table_size, c.slots) << "expected count " << c.expected;
        hashmap_destroy(&map);
    }
}

TEST_F(MapFixture, PutTwiceKeepsFirstDataAndNullDataIsReplaced) {
    init_strings(10);
    int a = 1, b = 2;
    EXPECT_EQ(hashmap_put(&map, "k", &a), &a);
    EXPECT_EQ(hashmap_put(&map, "k", &b), &a);
    EXPECT_EQ(hashmap_get(&map, "k"), &a);
    EXPECT_EQ(hashmap_put(&map, "n", nullptr), nullptr);
    EXPECT_EQ(hashmap_put(&map, "n", &b), &b);
    EXPECT_EQ(hashmap_get(&map, "n"), &b);
    EXPECT_EQ(hashmap_size(&map), 2u);
}

TEST_F(MapFixture, KeysAreCopiedWhenCopyFunctionIsSet) {
    init_strings(0);
    std::string key = "volatile";
    int a = 1;
    hashmap_put(&map, key.c_str(), &a);
    key[0] = 'X';
    EXPECT_EQ(hashmap_get(&map, "volatile"), &a);
    EXPECT_EQ(hashmap_remove(&map, "volatile"), &a);
    EXPECT_EQ(hashmap_get(&map, "volatile"), nullptr);
    EXPECT_EQ(hashmap_remove(&map, "volatile"), nullptr);
}

TEST_F(MapFixture, GrowsTo64SlotsOnThe25thEntry) {
    init_strings(10);
    std::vector<std::string> keys;
    for (int i = 0; i < 25; ++i) keys.push_back("key" + std::to_string(i));
    for (int i = 0; i < 24; ++i) ASSERT_NE(hashmap_put(&map, keys[i].c_str(), &keys[i]), nullptr);
    EXPECT_EQ(map.table_size, 32u);
    ASSERT_NE(hashmap_put(&map, keys[24].c_str(), &keys[24]), nullptr);
    EXPECT_EQ(map.table_size, 64u);
    for (auto &k : keys) EXPECT_EQ(hashmap_get(&map, k.c_str()), &k);
}

TEST_F(MapFixture, ManyEntriesSurviveGrowthAndRemoval) {
    init_strings(0);
    std::vector<std::string> keys;
    for (int i = 0; i < 5000; ++i) keys.push_back("param" + std::to_string(i * 7919));
    for (auto &k : keys) ASSERT_EQ(hashmap_put(&map, k.c_str(), &k), &k);
    EXPECT_EQ(hashmap_size(&map), keys.size());
    for (size_t i = 0; i < keys.size(); i += 2) {
        ASSERT_EQ(hashmap_remove(&map, keys[i].c_str()), &keys[i]);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(hashmap_get(&map, keys[i].c_str()), i % 2 ? &keys[i] : nullptr) << keys[i];
    }
}

// Removal in the middle of a probe run, including a run that wraps around the table end, must
// keep every other key reachable (back-shift instead of a tombstone).
TEST(HashmapRemove, MiddleOfRunKeepsOthersFindable) {
    struct Case {
        const char *name;
        std::vector<std::string> keys;  // "home:name"
        std::string removed;
    } cases[] = {
        {"one run", {"5:a", "5:b", "5:c", "6:d", "5:e"}, "5:b"},
        {"wrapping run", {"30:a", "31:b", "30:c", "0:d", "31:e", "1:f"}, "31:b"},
        {"entry at home stays", {"5:a", "6:b", "7:c", "5:d"}, "5:a"},
    };
    for (const Case &c : cases) {
        Hashmap map{};
        ASSERT_EQ(hashmap_init(&map, home_from_key, hashmap_compare_string, 10), 0);
        std::vector<std::string> keys = c.keys;
        for (auto &k : keys) ASSERT_EQ(hashmap_put(&map, k.c_str(), &k), &k);
        ASSERT_NE(hashmap_remove(&map, c.removed.c_str()), nullptr) << c.name;
        for (auto &k : keys) {
            EXPECT_EQ(hashmap_get(&map, k.c_str()), k == c.removed ? nullptr : &k)
                << c.name << ": " << k;
        }
        EXPECT_EQ(hashmap_size(&map), keys.size() - 1);
        hashmap_destroy(&map);
    }
}

TEST(HashmapProbe, FullRunDoublesTableAndRetries) {
    Hashmap map{};
    ASSERT_EQ(hashmap_init(&map, same_hash, hashmap_compare_string, 1), 0);
    // A probe run may use half the table: 16 of 32 slots; the 17th forces a doubling.
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) keys.push_back("k" + std::to_string(i));
    for (auto &k : keys) ASSERT_EQ(hashmap_put(&map, k.c_str(), &k), &k) << k;
    EXPECT_GE(map.table_size, 128u);
    for (auto &k : keys) EXPECT_EQ(hashmap_get(&map, k.c_str()), &k);
    hashmap_destroy(&map);
}

TEST_F(MapFixture, ClearAndResetShrinkBack) {
    init_strings(10);
    std::vector<std::string> keys;
    for (int i = 0; i < 100; ++i) keys.push_back(std::to_string(i));
    for (auto &k : keys) hashmap_put(&map, k.c_str(), &k);
    size_t grown = map.table_size;
    hashmap_clear(&map);
    EXPECT_EQ(hashmap_size(&map), 0u);
    EXPECT_EQ(map.table_size, grown);
    EXPECT_EQ(hashmap_iter(&map), nullptr);
    for (auto &k : keys) hashmap_put(&map, k.c_str(), &k);
    hashmap_reset(&map);
    EXPECT_EQ(map.table_size, 32u);
    EXPECT_EQ(hashmap_get(&map, "5"), nullptr);
}

TEST_F(MapFixture, IterRemoveVisitsEveryEntryOnce) {
    init_strings(0);
    std::vector<std::string> keys;
    for (int i = 0; i < 300; ++i) keys.push_back("i" + std::to_string(i));
    for (auto &k : keys) hashmap_put(&map, k.c_str(), &k);
    std::set<std::string> seen;
    for (HashmapSlot *s = hashmap_iter(&map); s != nullptr;) {
        seen.insert(static_cast<const char *>(hashmap_iter_get_key(s)));
        s = hashmap_iter_remove(&map, s);
    }
    EXPECT_EQ(seen.size(), keys.size());
    EXPECT_EQ(hashmap_size(&map), 0u);
}

TEST_F(MapFixture, ForeachStopsAndDetectsForeignChanges) {
    init_strings(0);
    std::vector<std::string> keys = {"a", "b", "c", "d", "e", "f"};
    for (auto &k : keys) hashmap_put(&map, k.c_str(), &k);

    int visited = 0;
    auto count_all = [](const void *, void *, void *arg) {
        ++*static_cast<int *>(arg);
        return 0;
    };
    EXPECT_EQ(hashmap_foreach(&map, count_all, &visited), 0);
    EXPECT_EQ(visited, 6);

    auto stop_neg = [](const void *, void *, void *) { return -7; };
    EXPECT_EQ(hashmap_foreach(&map, stop_neg, nullptr), -7);
    auto stop_pos = [](const void *, void *, void *) { return 3; };
    EXPECT_EQ(hashmap_foreach(&map, stop_pos, nullptr), 0);

    // Inserting during the walk changes the count in a way the walk cannot follow.
    auto insert = [](const void *, void *, void *arg) {
        static std::string extra = "zz";
        hashmap_put(static_cast<Hashmap *>(arg), extra.c_str(), &extra);
        return 0;
    };
    EXPECT_EQ(hashmap_foreach(&map, insert, &map), -1);

    auto remove_self = [](const void *key, void *, void *arg) {
        hashmap_remove(static_cast<Hashmap *>(arg), key);
        return 0;
    };
    EXPECT_EQ(hashmap_foreach(&map, remove_self, &map), 0);
    EXPECT_EQ(hashmap_size(&map), 0u);
}

TEST(HashmapDeath, NullArgumentsAbort) {
    Hashmap map{};
    ASSERT_EQ(hashmap_init(&map, hashmap_hash_string, hashmap_compare_string, 0), 0);
    EXPECT_DEATH(hashmap_get(nullptr, "k"), "map != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(hashmap_put(&map, nullptr, nullptr), "key != \\(\\(void \\*\\)0\\)");
    hashmap_destroy(&map);
}

}  // namespace

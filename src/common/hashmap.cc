#include "common/hashmap.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Always on, also in release builds: a null map or key is a caller bug that must not go on.
#define HASHMAP_ASSERT(cond)                                                                \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, \
                         __func__, #cond);                                                  \
            std::abort();                                                                   \
        }                                                                                   \
    } while (0)

namespace {

size_t probe_limit(size_t table_size) {
    return table_size / 2;
}

size_t home_slot(const Hashmap *map, const void *key, size_t table_size) {
    return map->hash_func(key) & (table_size - 1);
}

// Index of the slot holding `key`, or -1.
long find_slot(const Hashmap *map, const void *key) {
    size_t mask = map->table_size - 1;
    size_t idx = home_slot(map, key, map->table_size);
    for (size_t i = 0; i < probe_limit(map->table_size); ++i, idx = (idx + 1) & mask) {
        const HashmapSlot &s = map->table[idx];
        if (s.key == nullptr) return -1;
        if (map->key_compare_func(s.key, key) == 0) return static_cast<long>(idx);
    }
    return -1;
}

// First empty slot on the probe run of `key` in `table`, or -1 when the run is full.
long find_empty(const Hashmap *map, const HashmapSlot *table, size_t table_size, const void *key) {
    size_t mask = table_size - 1;
    size_t idx = home_slot(map, key, table_size);
    for (size_t i = 0; i < probe_limit(table_size); ++i, idx = (idx + 1) & mask) {
        if (table[idx].key == nullptr) return static_cast<long>(idx);
    }
    return -1;
}

int rehash(Hashmap *map, size_t new_size) {
    HASHMAP_ASSERT(new_size >= (1 << 5));
    HASHMAP_ASSERT((new_size & (new_size - 1)) == 0);
    auto *table = static_cast<HashmapSlot *>(std::calloc(new_size, sizeof(HashmapSlot)));
    if (table == nullptr) return -1;
    for (size_t i = 0; i < map->table_size; ++i) {
        const HashmapSlot &s = map->table[i];
        if (s.key == nullptr) continue;
        long idx = find_empty(map, table, new_size, s.key);
        if (idx < 0) {
            std::free(table);
            return -1;
        }
        table[idx] = s;
    }
    std::free(map->table);
    map->table = table;
    map->table_size = new_size;
    return 0;
}

// Closes the hole at `hole` left by a removal by shifting later entries of the run back.
void backshift(Hashmap *map, size_t hole) {
    size_t mask = map->table_size - 1;
    size_t half = map->table_size / 2;
    size_t idx = (hole + 1) & mask;
    for (size_t i = 0; i < probe_limit(map->table_size); ++i, idx = (idx + 1) & mask) {
        HashmapSlot &s = map->table[idx];
        if (s.key == nullptr) break;
        size_t home = home_slot(map, s.key, map->table_size);
        size_t dist = (home - hole) & mask;
        // Home at the hole or cyclically before it: the entry may move back into the hole.
        if (dist == 0 || (dist & half) != 0) {
            map->table[hole] = s;
            hole = idx;
        }
    }
    map->table[hole] = HashmapSlot{nullptr, nullptr};
}

void remove_at(Hashmap *map, size_t idx) {
    if (map->key_free_func != nullptr) map->key_free_func(map->table[idx].key);
    map->count--;
    backshift(map, idx);
}

HashmapSlot *next_occupied(Hashmap *map, size_t from) {
    for (size_t i = from; i < map->table_size; ++i) {
        if (map->table[i].key != nullptr) return &map->table[i];
    }
    return nullptr;
}

void free_all_keys(Hashmap *map) {
    for (size_t i = 0; i < map->table_size; ++i) {
        HashmapSlot &s = map->table[i];
        if (s.key != nullptr && map->key_free_func != nullptr) map->key_free_func(s.key);
        s = HashmapSlot{nullptr, nullptr};
    }
    map->count = 0;
}

}  // namespace

int hashmap_init(Hashmap *map, HashmapHashFunc hash_func, HashmapKeyCompareFunc key_compare_func,
                 size_t expected_count) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(hash_func != ((void *)0));
    HASHMAP_ASSERT(key_compare_func != ((void *)0));
    size_t size = HASHMAP_DEFAULT_SIZE;
    if (expected_count > 0) {
        size_t want = expected_count + expected_count / 3;
        size = HASHMAP_MIN_SIZE;
        while (size < want) size <<= 1;
    }
    *map = Hashmap{};
    map->table = static_cast<HashmapSlot *>(std::calloc(size, sizeof(HashmapSlot)));
    if (map->table == nullptr) return -1;
    map->initial_size = size;
    map->table_size = size;
    map->hash_func = hash_func;
    map->key_compare_func = key_compare_func;
    return 0;
}

void hashmap_set_key_alloc_funcs(Hashmap *map, HashmapKeyCopyFunc key_copy_func,
                                 HashmapKeyFreeFunc key_free_func) {
    HASHMAP_ASSERT(map != ((void *)0));
    map->key_copy_func = key_copy_func;
    map->key_free_func = key_free_func;
}

void *hashmap_put(Hashmap *map, const void *key, void *data) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(key != ((void *)0));
    long found = find_slot(map, key);
    if (found >= 0) {
        HashmapSlot &s = map->table[found];
        if (s.data != nullptr) return s.data;
        s.data = data;
        return data;
    }
    if (map->count + map->count / 3 >= map->table_size) rehash(map, map->table_size * 2);
    long idx = find_empty(map, map->table, map->table_size, key);
    if (idx < 0) {
        if (rehash(map, map->table_size * 2) != 0) return nullptr;
        idx = find_empty(map, map->table, map->table_size, key);
        if (idx < 0) return nullptr;
    }
    void *stored = const_cast<void *>(key);
    if (map->key_copy_func != nullptr) {
        stored = map->key_copy_func(key);
        if (stored == nullptr) return nullptr;
    }
    map->table[idx] = HashmapSlot{stored, data};
    map->count++;
    return data;
}

void *hashmap_get(const Hashmap *map, const void *key) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(key != ((void *)0));
    long idx = find_slot(map, key);
    return idx < 0 ? nullptr : map->table[idx].data;
}

void *hashmap_remove(Hashmap *map, const void *key) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(key != ((void *)0));
    long idx = find_slot(map, key);
    if (idx < 0) return nullptr;
    void *data = map->table[idx].data;
    remove_at(map, static_cast<size_t>(idx));
    return data;
}

void hashmap_clear(Hashmap *map) {
    HASHMAP_ASSERT(map != ((void *)0));
    free_all_keys(map);
}

void hashmap_reset(Hashmap *map) {
    HASHMAP_ASSERT(map != ((void *)0));
    free_all_keys(map);
    if (map->table_size == map->initial_size) return;
    auto *table = static_cast<HashmapSlot *>(std::calloc(map->initial_size, sizeof(HashmapSlot)));
    if (table == nullptr) return;
    std::free(map->table);
    map->table = table;
    map->table_size = map->initial_size;
}

size_t hashmap_size(const Hashmap *map) {
    HASHMAP_ASSERT(map != ((void *)0));
    return map->count;
}

HashmapSlot *hashmap_iter(Hashmap *map) {
    HASHMAP_ASSERT(map != ((void *)0));
    if (map->count == 0) return nullptr;
    return next_occupied(map, 0);
}

HashmapSlot *hashmap_iter_next(Hashmap *map, HashmapSlot *slot) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(slot != ((void *)0));
    return next_occupied(map, static_cast<size_t>(slot - map->table) + 1);
}

HashmapSlot *hashmap_iter_remove(Hashmap *map, HashmapSlot *slot) {
    HASHMAP_ASSERT(map != ((void *)0));
    HASHMAP_ASSERT(slot != ((void *)0));
    size_t idx = static_cast<size_t>(slot - map->table);
    remove_at(map, idx);
    return next_occupied(map, idx);
}

const void *hashmap_iter_get_key(const HashmapSlot *slot) {
    return slot->key;
}
void *hashmap_iter_get_data(const HashmapSlot *slot) {
    return slot->data;
}
void hashmap_iter_set_data(HashmapSlot *slot, void *data) {
    slot->data = data;
}

int hashmap_foreach(Hashmap *map, HashmapForeachFunc func, void *arg) {
    HASHMAP_ASSERT(map != ((void *)0));
    size_t i = 0;
    while (i < map->table_size) {
        HashmapSlot &s = map->table[i];
        if (s.key == nullptr) {
            ++i;
            continue;
        }
        void *key = s.key;
        size_t before = map->count;
        int rc = func(key, s.data, arg);
        if (rc < 0) return rc;
        if (rc > 0) return 0;
        if (map->count == before) {
            ++i;
        } else if (map->count + 1 == before && map->table[i].key != key) {
            // The function removed its own entry: look at this slot again, as a later entry
            // may have been shifted into it.
        } else {
            return -1;
        }
    }
    return 0;
}

void hashmap_destroy(Hashmap *map) {
    HASHMAP_ASSERT(map != ((void *)0));
    if (map->table != nullptr) free_all_keys(map);
    std::free(map->table);
    *map = Hashmap{};
}

uint32_t hashmap_hash_string(const void *key) {
    HASHMAP_ASSERT(key != ((void *)0));
    uint32_t h = 0;
    for (const auto *p = static_cast<const unsigned char *>(key); *p != 0; ++p) {
        h += *p;
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

int hashmap_compare_string(const void *a, const void *b) {
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

void *hashmap_copy_string(const void *key) {
    return strdup(static_cast<const char *>(key));
}

void hashmap_free_string(void *key) {
    std::free(key);
}

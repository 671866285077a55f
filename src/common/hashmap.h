// Open-addressing hash map from keys to opaque data pointers (linear probing, probe runs of at
// most half the table, back-shift removal so no tombstones are needed).
//
// Ownership: the map never owns data pointers. Keys are copied and freed by the map only when a
// key copy function is set (hashmap_set_key_alloc_funcs); otherwise the caller's key pointers
// are stored and must outlive their entries.
// Threads: no locking; a map belongs to one owner at a time.
// Passing a null map, key or function is a caller error and aborts the process.
#pragma once

#include <cstddef>
#include <cstdint>

using HashmapHashFunc = uint32_t (*)(const void *key);
using HashmapKeyCompareFunc = int (*)(const void *a, const void *b);  // 0 when equal
using HashmapKeyCopyFunc = void *(*)(const void *key);
using HashmapKeyFreeFunc = void (*)(void *key);
// Returns < 0 to stop with that value, > 0 to stop with 0, 0 to go on.
using HashmapForeachFunc = int (*)(const void *key, void *data, void *arg);

inline constexpr size_t HASHMAP_MIN_SIZE = 1u << 5;
inline constexpr size_t HASHMAP_DEFAULT_SIZE = 256;

// One slot; a null key marks an empty slot. Iterators are slot pointers.
struct HashmapSlot {
    void *key;
    void *data;
};

struct Hashmap {
    size_t initial_size;  // restored by hashmap_reset
    size_t table_size;    // power of two, at least HASHMAP_MIN_SIZE
    size_t count;         // occupied slots
    HashmapSlot *table;
    HashmapHashFunc hash_func;
    HashmapKeyCompareFunc key_compare_func;
    HashmapKeyCopyFunc key_copy_func;  // optional
    HashmapKeyFreeFunc key_free_func;  // optional
};

// Sizes the table for `expected_count` entries (0: HASHMAP_DEFAULT_SIZE slots). Returns 0, or
// -1 when the table cannot be allocated.
int hashmap_init(Hashmap *map, HashmapHashFunc hash_func, HashmapKeyCompareFunc key_compare_func,
                 size_t expected_count);
void hashmap_set_key_alloc_funcs(Hashmap *map, HashmapKeyCopyFunc key_copy_func,
                                 HashmapKeyFreeFunc key_free_func);

// Inserts `key` -> `data` and returns `data`. When the key is already present with non-null
// data, that data is returned and nothing changes; present with null data, `data` is stored.
// Returns null when the key cannot be copied or placed.
void *hashmap_put(Hashmap *map, const void *key, void *data);
void *hashmap_get(const Hashmap *map, const void *key);
// Removes the entry and returns its data (null when absent).
void *hashmap_remove(Hashmap *map, const void *key);

// Removes every entry (keys freed with the free function); hashmap_reset also shrinks the table
// back to its initial size (keeping the larger one if that allocation fails).
void hashmap_clear(Hashmap *map);
void hashmap_reset(Hashmap *map);
size_t hashmap_size(const Hashmap *map);

// Slot-order iteration. hashmap_iter_remove removes the slot's entry and returns the next slot
// to visit, which may be the same slot because a later entry was shifted back into it.
HashmapSlot *hashmap_iter(Hashmap *map);
HashmapSlot *hashmap_iter_next(Hashmap *map, HashmapSlot *slot);
HashmapSlot *hashmap_iter_remove(Hashmap *map, HashmapSlot *slot);
const void *hashmap_iter_get_key(const HashmapSlot *slot);
void *hashmap_iter_get_data(const HashmapSlot *slot);
void hashmap_iter_set_data(HashmapSlot *slot, void *data);

// Calls `func` for every entry in slot order. `func` may remove the entry it was given; any
// other change of the count stops the walk with -1.
int hashmap_foreach(Hashmap *map, HashmapForeachFunc func, void *arg);

// Frees every key (free function), the table, and zeroes the record.
void hashmap_destroy(Hashmap *map);

// Helpers for NUL-terminated string keys: one-at-a-time hash, strcmp, strdup and free.
uint32_t hashmap_hash_string(const void *key);
int hashmap_compare_string(const void *a, const void *b);
void *hashmap_copy_string(const void *key);
void hashmap_free_string(void *key);

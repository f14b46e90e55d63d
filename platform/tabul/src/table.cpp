// The hash table: chained buckets for lookup, and a list in insertion order
// for enumeration. Open enumerations are registered with their table, and a
// deletion moves any enumeration that was about to return the deleted entry
// on to the entry after it, so a walk survives deleting any entry.
//
// Every block comes from maw_malloc: a failed allocation makes ht_add,
// ht_open_extended or ht_enumerate_elements fail, and a failed resize keeps
// the current buckets.
#include "tabul.h"

#include "trellis.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t default_buckets = 31;
constexpr double default_max_load = 0.75;

struct Entry {
    char *key;
    void *value;
    uint64_t hash;
    uint64_t serial;  // order of insertion, counting from 1
    Entry *bucket_next;
    Entry *order_prev;
    Entry *order_next;
};

uint64_t hash_of(const char *key)
{
    uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(key); *c != '\0'; ++c) {
        hash ^= *c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

Entry **new_buckets(size_t count)
{
    if (count > SIZE_MAX / sizeof(Entry *)) {
        return nullptr;
    }
    auto **buckets = static_cast<Entry **>(maw_malloc(count * sizeof(Entry *)));
    if (buckets != nullptr) {
        std::memset(buckets, 0, count * sizeof(Entry *));
    }
    return buckets;
}

}  // namespace

struct ht_enum {
    ht_table *table;      // null once the table is closed
    Entry *cursor;        // the entry the next call returns
    uint64_t last_serial; // entries added after the enumeration began are skipped
    ht_enum *prev;
    ht_enum *next;
};

struct ht_table {
    Entry **buckets;
    size_t bucket_count;
    size_t initial_buckets;
    size_t count;
    double max_load;
    double min_load;  // 0: never shrink
    ht_value_free_fn value_free;
    ht_key_copy_fn key_copy;
    ht_key_free_fn key_free;
    Entry *first;
    Entry *last;
    uint64_t next_serial;
    ht_enum *enumerations;
};

namespace {

Entry *find_entry(ht_table *table, const char *key, uint64_t hash)
{
    for (Entry *entry = table->buckets[hash % table->bucket_count]; entry != nullptr;
         entry = entry->bucket_next) {
        if (entry->hash == hash && std::strcmp(entry->key, key) == 0) {
            return entry;
        }
    }
    return nullptr;
}

char *copy_key(ht_table *table, const char *key)
{
    if (table->key_copy != nullptr) {
        return table->key_copy(key);
    }
    size_t size = std::strlen(key) + 1;
    auto *copy = static_cast<char *>(maw_malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, key, size);
    }
    return copy;
}

void release_key(ht_table *table, char *key)
{
    if (table->key_free != nullptr) {
        table->key_free(key);
    } else {
        maw_free(key);
    }
}

// Moves every entry into a bucket array of new_count; keeps the current one
// when the new array cannot be allocated.
void rehash(ht_table *table, size_t new_count)
{
    if (new_count == table->bucket_count || new_count == 0) {
        return;
    }
    Entry **buckets = new_buckets(new_count);
    if (buckets == nullptr) {
        return;
    }
    for (Entry *entry = table->first; entry != nullptr; entry = entry->order_next) {
        Entry **head = &buckets[entry->hash % new_count];
        entry->bucket_next = *head;
        *head = entry;
    }
    maw_free(table->buckets);
    table->buckets = buckets;
    table->bucket_count = new_count;
}

void grow_if_loaded(ht_table *table)
{
    if (static_cast<double>(table->count) > table->max_load * static_cast<double>(table->bucket_count) &&
        table->bucket_count <= SIZE_MAX / 2) {
        rehash(table, table->bucket_count * 2 + 1);
    }
}

void shrink_if_sparse(ht_table *table)
{
    if (table->min_load > 0 && table->bucket_count > table->initial_buckets &&
        static_cast<double>(table->count) < table->min_load * static_cast<double>(table->bucket_count)) {
        size_t smaller = table->bucket_count / 2;
        rehash(table, smaller > table->initial_buckets ? smaller : table->initial_buckets);
    }
}

// Takes entry out of its bucket and the order list, and moves enumerations
// that were to return it on to its successor.
void unlink_entry(ht_table *table, Entry *entry)
{
    Entry **link = &table->buckets[entry->hash % table->bucket_count];
    while (*link != entry) {
        link = &(*link)->bucket_next;
    }
    *link = entry->bucket_next;
    for (ht_enum *enumeration = table->enumerations; enumeration != nullptr;
         enumeration = enumeration->next) {
        if (enumeration->cursor == entry) {
            enumeration->cursor = entry->order_next;
        }
    }
    (entry->order_prev != nullptr ? entry->order_prev->order_next : table->first) = entry->order_next;
    (entry->order_next != nullptr ? entry->order_next->order_prev : table->last) = entry->order_prev;
    --table->count;
}

// Releases an entry that is no longer reachable from the table. The value
// callback runs last, when the table is consistent again, so it may use the
// table.
void release_entry(ht_table *table, Entry *entry)
{
    void *value = entry->value;
    release_key(table, entry->key);
    maw_free(entry);
    if (table->value_free != nullptr) {
        table->value_free(value);
    }
}

}  // namespace

extern "C" {

ht_table *ht_open_extended(int initial_size, double max_load, void * /*reserved1*/,
                           void * /*reserved2*/, void * /*reserved3*/, ht_value_free_fn value_free,
                           ht_key_copy_fn key_copy, ht_key_free_fn key_free, double min_load)
{
    auto *table = static_cast<ht_table *>(maw_malloc(sizeof(ht_table)));
    if (table == nullptr) {
        return nullptr;
    }
    size_t buckets = initial_size > 0 ? static_cast<size_t>(initial_size) : default_buckets;
    table->buckets = new_buckets(buckets);
    if (table->buckets == nullptr) {
        maw_free(table);
        return nullptr;
    }
    table->bucket_count = buckets;
    table->initial_buckets = buckets;
    table->count = 0;
    table->max_load = std::isfinite(max_load) && max_load > 0 ? max_load : default_max_load;
    // A minimum at or above half the maximum would shrink the table right
    // after each growth.
    table->min_load =
        std::isfinite(min_load) && min_load > 0 && min_load < table->max_load / 2 ? min_load : 0;
    table->value_free = value_free;
    table->key_copy = key_copy;
    table->key_free = key_free;
    table->first = nullptr;
    table->last = nullptr;
    table->next_serial = 1;
    table->enumerations = nullptr;
    return table;
}

void *ht_get(ht_table *table, const char *key)
{
    if (table == nullptr || key == nullptr) {
        return nullptr;
    }
    Entry *entry = find_entry(table, key, hash_of(key));
    return entry != nullptr ? entry->value : nullptr;
}

int ht_add(ht_table *table, const char *key, void *value)
{
    if (table == nullptr || key == nullptr || value == nullptr) {
        return -1;
    }
    uint64_t hash = hash_of(key);
    if (find_entry(table, key, hash) != nullptr) {
        return -1;
    }
    auto *entry = static_cast<Entry *>(maw_malloc(sizeof(Entry)));
    if (entry == nullptr) {
        return -1;
    }
    entry->key = copy_key(table, key);
    if (entry->key == nullptr) {
        maw_free(entry);
        return -1;
    }
    entry->value = value;
    entry->hash = hash;
    entry->serial = table->next_serial++;
    Entry **head = &table->buckets[hash % table->bucket_count];
    entry->bucket_next = *head;
    *head = entry;
    entry->order_prev = table->last;
    entry->order_next = nullptr;
    (table->last != nullptr ? table->last->order_next : table->first) = entry;
    table->last = entry;
    ++table->count;
    grow_if_loaded(table);
    return 0;
}

int ht_delete_ex(ht_table *table, const char *key)
{
    if (table == nullptr || key == nullptr) {
        return -1;
    }
    Entry *entry = find_entry(table, key, hash_of(key));
    if (entry == nullptr) {
        return -1;
    }
    unlink_entry(table, entry);
    shrink_if_sparse(table);
    release_entry(table, entry);
    return 0;
}

void ht_clear(ht_table *table)
{
    if (table == nullptr) {
        return;
    }
    // Detach every entry first, so that the callbacks see an empty table.
    Entry *entry = table->first;
    table->first = nullptr;
    table->last = nullptr;
    table->count = 0;
    std::memset(table->buckets, 0, table->bucket_count * sizeof(Entry *));
    for (ht_enum *enumeration = table->enumerations; enumeration != nullptr;
         enumeration = enumeration->next) {
        enumeration->cursor = nullptr;
    }
    while (entry != nullptr) {
        Entry *next = entry->order_next;
        release_entry(table, entry);
        entry = next;
    }
}

void ht_close(ht_table *table)
{
    if (table == nullptr) {
        return;
    }
    ht_clear(table);
    // Enumerations still open end here; freeing them later stays valid.
    for (ht_enum *enumeration = table->enumerations; enumeration != nullptr;
         enumeration = enumeration->next) {
        enumeration->table = nullptr;
        enumeration->cursor = nullptr;
    }
    maw_free(table->buckets);
    maw_free(table);
}

size_t ht_count(ht_table *table)
{
    return table != nullptr ? table->count : 0;
}

ht_enum *ht_enumerate_elements(ht_table *table)
{
    if (table == nullptr) {
        return nullptr;
    }
    auto *enumeration = static_cast<ht_enum *>(maw_malloc(sizeof(ht_enum)));
    if (enumeration == nullptr) {
        return nullptr;
    }
    enumeration->table = table;
    enumeration->cursor = table->first;
    enumeration->last_serial = table->next_serial - 1;
    enumeration->prev = nullptr;
    enumeration->next = table->enumerations;
    if (table->enumerations != nullptr) {
        table->enumerations->prev = enumeration;
    }
    table->enumerations = enumeration;
    return enumeration;
}

void *ht_enum_next_element(ht_enum *enumeration)
{
    if (enumeration == nullptr || enumeration->cursor == nullptr) {
        return nullptr;
    }
    Entry *entry = enumeration->cursor;
    // The order list is in insertion order: past the first newer entry there
    // are only newer ones.
    if (entry->serial > enumeration->last_serial) {
        enumeration->cursor = nullptr;
        return nullptr;
    }
    enumeration->cursor = entry->order_next;
    return entry->value;
}

void ht_enumerate_elements_free(ht_enum *enumeration)
{
    if (enumeration == nullptr) {
        return;
    }
    if (enumeration->table != nullptr) {
        (enumeration->prev != nullptr ? enumeration->prev->next : enumeration->table->enumerations) =
            enumeration->next;
        if (enumeration->next != nullptr) {
            enumeration->next->prev = enumeration->prev;
        }
    }
    maw_free(enumeration);
}

}  // extern "C"

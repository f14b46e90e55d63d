/*
 * tabul: a string-keyed hash table.
 *
 * The table copies each key with the key-copy function when an entry is
 * added and releases it with the key-free function when the entry goes. It
 * never releases a value except through the value-free callback (on delete
 * and on clear). An enumeration survives deleting the entry it returned last.
 */
#ifndef TABUL_H
#define TABUL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ht_table ht_table;
typedef struct ht_enum ht_enum;
typedef void (*ht_value_free_fn)(void *value);
typedef char *(*ht_key_copy_fn)(const char *key);
typedef void (*ht_key_free_fn)(char *key);

/* initial_size buckets, grown when the load passes max_load and shrunk below
 * min_load. The three reserved pointers are null. Null on failure.
 * A null key_copy makes the table copy keys with maw_malloc, a null key_free
 * makes it release them with maw_free; a null value_free releases no value.
 * The table has no lock: one thread at a time. */
ht_table *ht_open_extended(int initial_size, double max_load, void *reserved1, void *reserved2,
                           void *reserved3, ht_value_free_fn value_free, ht_key_copy_fn key_copy,
                           ht_key_free_fn key_free, double min_load);
/* The value under key, or null. */
void *ht_get(ht_table *table, const char *key);
/* Adds key -> value; 0 on success, -1 when the key exists or memory fails.
 * A null value is refused (-1): ht_get and the enumeration use null to mean
 * "none". */
int ht_add(ht_table *table, const char *key, void *value);
/* Removes key, calling value_free with its value; 0 when removed, -1 when absent. */
int ht_delete_ex(ht_table *table, const char *key);
/* Removes every entry, calling value_free for each. */
void ht_clear(ht_table *table);
/* Releases the table; remaining values are released through value_free.
 * Enumerations still open return null from then on and must still be freed. */
void ht_close(ht_table *table);
size_t ht_count(ht_table *table);

/* An enumeration of the entries present now, in the order they were added
 * (entries added later are not returned), or null. */
ht_enum *ht_enumerate_elements(ht_table *table);
/* The next value, null after the last. Entries deleted after the enumeration
 * began are skipped; the entry returned last may be deleted safely. */
void *ht_enum_next_element(ht_enum *enumeration);
void ht_enumerate_elements_free(ht_enum *enumeration);

#ifdef __cplusplus
}
#endif
#endif

// The request table: one entry per transfer in progress, keyed by the
// decimal text of its request id. An entry's value is the table's copy of
// the record that opened the transfer; its `operation` is the transfer's
// CDiskOperations, owned by the entry. Removing an entry (one by one, or all
// at once) destroys the operation; nothing else does.
#pragma once

#include <cstdio>

#include "corvel.h"
#include "service/maw_object.h"
#include "tabul.h"
#include "wire/zem_request_data.h"

// The key of a request id: "%d" text in a 12-byte buffer.
struct RequestKey {
    char text[12];
    explicit RequestKey(int request_id) { std::snprintf(text, sizeof text, "%d", request_id); }
};

// Value-free callback: destroys the operation, then releases the copy.
void free_request_entry(void *value);

template <typename Key>
class CJovHashEnumerator : public CMawObject {
public:
    explicit CJovHashEnumerator(ht_enum *enumeration) : handle(enumeration) {}
    virtual ~CJovHashEnumerator() { ht_enumerate_elements_free(handle); }
    CJovHashEnumerator(const CJovHashEnumerator &) = delete;
    CJovHashEnumerator &operator=(const CJovHashEnumerator &) = delete;

    ht_enum *handle;
};

template <typename Key>
class CJovHash : public CMawObject {
public:
    CJovHash()
        : handle(ht_open_extended(31, 0.5, nullptr, nullptr, nullptr, free_request_entry, os_strdup,
                                  os_strdup_free, 0.1))
    {
    }
    virtual ~CJovHash()
    {
        if (handle) ht_close(handle);
        handle = nullptr;
    }
    CJovHash(const CJovHash &) = delete;
    CJovHash &operator=(const CJovHash &) = delete;

    zem_request_data *Get(Key key) { return static_cast<zem_request_data *>(ht_get(handle, key)); }
    // 0 when added; -1 when the key exists or memory ran out.
    int Add(Key key, zem_request_data *value) { return ht_add(handle, key, value); }
    void Delete(Key key) { ht_delete_ex(handle, key); }
    void Clear() { ht_clear(handle); }
    // Null when the enumerator cannot be made.
    CJovHashEnumerator<Key> *Enumerate()
    {
        ht_enum *enumeration = ht_enumerate_elements(handle);
        if (!enumeration) return nullptr;
        auto *enumerator = new CJovHashEnumerator<Key>(enumeration);
        if (!enumerator) ht_enumerate_elements_free(enumeration);
        return enumerator;
    }
    zem_request_data *Next(CJovHashEnumerator<Key> *enumerator)
    {
        return static_cast<zem_request_data *>(ht_enum_next_element(enumerator->handle));
    }
    bool is_open() const { return handle != nullptr; }

    ht_table *handle;
};

using CRequestTable = CJovHash<const char *>;

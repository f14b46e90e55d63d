// Thread-local slots over pthread keys. A slot index names one key for the
// life of the process; keys are never deleted, so an index is never reused.
#include "trellis.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <climits>
#include <mutex>

namespace {

// PTHREAD_KEYS_MAX is the most the system can hand out anyway.
constexpr int max_slots = PTHREAD_KEYS_MAX;

std::array<pthread_key_t, max_slots> slot_keys;
// Indexes below this count have their key stored in slot_keys. Readers load
// it with acquire so that they see the key written before the count grew.
std::atomic<int> published_slots{0};
std::mutex allocation_mutex;

bool key_of(int index, pthread_key_t *key)
{
    if (index < 0 || index >= published_slots.load(std::memory_order_acquire)) {
        return false;
    }
    *key = slot_keys[static_cast<size_t>(index)];
    return true;
}

}  // namespace

extern "C" {

int mtls_alloc(void)
{
    std::lock_guard<std::mutex> lock(allocation_mutex);
    int index = published_slots.load(std::memory_order_relaxed);
    if (index >= max_slots) {
        return -1;
    }
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) {
        return -1;
    }
    slot_keys[static_cast<size_t>(index)] = key;
    published_slots.store(index + 1, std::memory_order_release);
    return index;
}

int mtls_set(int index, uintptr_t value)
{
    pthread_key_t key;
    if (!key_of(index, &key)) {
        return -1;
    }
    return pthread_setspecific(key, reinterpret_cast<void *>(value)) == 0 ? 0 : -1;
}

uintptr_t mtls_get(int index)
{
    pthread_key_t key;
    if (!key_of(index, &key)) {
        return 0;
    }
    return reinterpret_cast<uintptr_t>(pthread_getspecific(key));
}

}  // extern "C"

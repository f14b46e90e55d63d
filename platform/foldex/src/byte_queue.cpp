#include "byte_queue.h"

#include <algorithm>

namespace foldex {

bool ByteQueue::push(const char *data, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (size > 0) {
        room_.wait(lock, [this] { return stopped_ || queued_ < capacity_; });
        if (stopped_)
            return false;
        size_t room = capacity_ - queued_;
        while (size > 0 && room > 0) {
            if (chunks_.empty() || chunks_.back().size() >= kChunk) {
                chunks_.emplace_back();
                chunks_.back().reserve(std::min(kChunk, std::max(size, size_t{4096})));
            }
            std::vector<char> &tail = chunks_.back();
            const size_t take = std::min({size, room, kChunk - tail.size()});
            tail.insert(tail.end(), data, data + take);
            data += take;
            size -= take;
            room -= take;
            queued_ += take;
        }
        data_.notify_one();
    }
    return true;
}

void ByteQueue::end_input() {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    data_.notify_all();
}

bool ByteQueue::pop(std::vector<char> &chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    data_.wait(lock, [this] { return !chunks_.empty() || ended_ || stopped_; });
    if (chunks_.empty())
        return false;
    chunk = std::move(chunks_.front());
    chunks_.pop_front();
    queued_ -= chunk.size();
    room_.notify_one();
    return true;
}

void ByteQueue::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    chunks_.clear();
    queued_ = 0;
    room_.notify_all();
    data_.notify_all();
}

}  // namespace foldex

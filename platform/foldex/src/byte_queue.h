// A bounded queue of bytes from one producer thread to one consumer thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace foldex {

// The producer pushes bytes in pieces of any size; they are kept in chunks
// of at most kChunk bytes, small pushes joined together. The consumer pops
// whole chunks. At most `capacity` bytes wait in the queue; the chunk the
// consumer holds is not counted.
class ByteQueue {
public:
    static constexpr size_t kChunk = 64 * 1024;

    explicit ByteQueue(size_t capacity) : capacity_(capacity) {}

    // Producer: appends the bytes, waiting while the queue is full. Returns
    // false, with part of the bytes possibly dropped, once the consumer has
    // stopped.
    bool push(const char *data, size_t size);
    // Producer: no more bytes will come.
    void end_input();
    // Consumer: moves the next chunk into chunk, waiting while the queue is
    // empty. Returns false at the end of the input.
    bool pop(std::vector<char> &chunk);
    // Consumer: takes nothing more. Queued bytes are dropped and a waiting
    // producer returns at once.
    void stop();

private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::condition_variable data_;
    std::deque<std::vector<char>> chunks_;
    size_t queued_ = 0;
    bool ended_ = false;
    bool stopped_ = false;
};

}  // namespace foldex

// The C interface of the directory streams.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "foldex.h"
#include "tree_archive_reader.h"
#include "tree_extractor.h"

namespace {

// The queue of a write-mode stream holds about two blocks of the hint.
constexpr size_t kMinimumQueue = 64 * 1024;
constexpr size_t kMaximumQueue = 16 * 1024 * 1024;
constexpr size_t kDefaultQueue = 2 * 1000 * 1000;

// Why the last wgzDirOpen on this thread failed.
thread_local std::string last_open_error;

struct DirStream {
    std::unique_ptr<foldex::TreeArchiveReader> reader;
    std::unique_ptr<foldex::TreeExtractor> extractor;
    // A call that did not fit the stream's mode.
    std::string misuse;
    // What wgzDirError handed out last.
    std::string shown_error;
};

DirStream *from_handle(wgz_dir dir) { return reinterpret_cast<DirStream *>(dir); }

size_t queue_capacity(int block_hint) {
    if (block_hint <= 0)
        return kDefaultQueue;
    return std::clamp(2 * static_cast<size_t>(block_hint), kMinimumQueue, kMaximumQueue);
}

wgz_dir refuse_open(const std::string &why, int error_number) {
    try {
        last_open_error = why;
    } catch (...) {
    }
    errno = error_number;
    return 0;
}

int note_misuse(DirStream *stream, const char *what) {
    try {
        if (stream->misuse.empty())
            stream->misuse = what;
    } catch (...) {
    }
    return -1;
}

void store_position(uint32_t *position, uint64_t value) {
    if (position != nullptr)
        *position = static_cast<uint32_t>(value);
}

}  // namespace

extern "C" {

wgz_dir wgzDirOpen(const char *directory, const char *mode, int block_hint, int recurse, int flags,
                   uint64_t *size) {
    (void)flags;
    if (directory == nullptr || *directory == '\0' || mode == nullptr)
        return refuse_open("no directory or mode given", EINVAL);
    const bool reading = std::strcmp(mode, "r") == 0 || std::strcmp(mode, "rb") == 0;
    const bool writing = std::strcmp(mode, "w") == 0 || std::strcmp(mode, "wb") == 0;
    if (!reading && !writing)
        return refuse_open(std::string("unknown mode \"") + mode + "\"", EINVAL);
    try {
        std::string error;
        int error_number = 0;
        auto stream = std::make_unique<DirStream>();
        if (reading) {
            stream->reader = foldex::TreeArchiveReader::open(directory, recurse != 0, error, error_number);
            if (stream->reader == nullptr)
                return refuse_open(error, error_number);
            if (size != nullptr)
                *size = stream->reader->size();
        } else {
            stream->extractor =
                foldex::TreeExtractor::open(directory, queue_capacity(block_hint), error, error_number);
            if (stream->extractor == nullptr)
                return refuse_open(error, error_number);
        }
        last_open_error.clear();
        return reinterpret_cast<wgz_dir>(stream.release());
    } catch (const std::bad_alloc &) {
        return refuse_open("out of memory", ENOMEM);
    } catch (const std::exception &failure) {
        return refuse_open(failure.what(), EIO);
    }
}

int wgzDirRead(wgz_dir dir, void *buffer, int count, uint32_t *position) {
    DirStream *stream = from_handle(dir);
    if (stream == nullptr)
        return -1;
    if (stream->reader == nullptr)
        return note_misuse(stream, "wgzDirRead on a stream opened for writing");
    if (count < 0 || (count > 0 && buffer == nullptr))
        return note_misuse(stream, "wgzDirRead without a buffer");
    try {
        const long got = stream->reader->read(static_cast<char *>(buffer), static_cast<size_t>(count));
        store_position(position, stream->reader->position());
        return static_cast<int>(got);
    } catch (const std::bad_alloc &) {
        return note_misuse(stream, "out of memory");
    }
}

int wgzDirWrite(wgz_dir dir, const void *buffer, int count, uint32_t *position) {
    DirStream *stream = from_handle(dir);
    if (stream == nullptr)
        return -1;
    if (stream->extractor == nullptr)
        return note_misuse(stream, "wgzDirWrite on a stream opened for reading");
    if (count < 0 || (count > 0 && buffer == nullptr))
        return note_misuse(stream, "wgzDirWrite without a buffer");
    try {
        const bool accepted = stream->extractor->write(static_cast<const char *>(buffer), static_cast<size_t>(count));
        store_position(position, stream->extractor->accepted());
        if (!accepted)
            return -1;
        return count;
    } catch (const std::bad_alloc &) {
        return note_misuse(stream, "out of memory");
    }
}

int wgzDirFinish(wgz_dir dir) {
    DirStream *stream = from_handle(dir);
    if (stream == nullptr)
        return -1;
    if (stream->extractor != nullptr)
        return stream->extractor->finish() ? 0 : -1;
    return stream->reader->failed() ? -1 : 0;
}

const char *wgzDirError(wgz_dir dir) {
    DirStream *stream = from_handle(dir);
    if (stream == nullptr)
        return last_open_error.c_str();
    try {
        if (stream->extractor != nullptr)
            stream->shown_error = stream->extractor->error();
        else
            stream->shown_error = stream->reader->error();
        if (stream->shown_error.empty())
            stream->shown_error = stream->misuse;
    } catch (const std::bad_alloc &) {
        return "out of memory";
    }
    return stream->shown_error.c_str();
}

int wgzDirClose(wgz_dir dir) {
    DirStream *stream = from_handle(dir);
    if (stream == nullptr)
        return -1;
    const int result = wgzDirFinish(dir);
    delete stream;
    return result;
}

}  // extern "C"

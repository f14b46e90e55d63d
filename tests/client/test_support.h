// Helpers shared by the requester tests: scratch directories, file contents
// and a requester connected to a fake service.
#pragma once

#include "client/requester.h"
#include "fake_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zem::test {

inline constexpr int kChunk = 64; // a small chunk size: many chunks from small files

inline constexpr const char *kRequestChannel = "ZemBrQkService";
inline constexpr const char *kAckChannel = "ZemBrQkAckSvc";

// A directory of its own for one test, removed afterwards.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }
    // Entries whose names start with ".": temporary files left behind.
    std::vector<std::string> hidden_entries() const;

private:
    std::filesystem::path path_;
};

// Bytes that differ from chunk to chunk, so that a misplaced chunk shows.
std::string pattern(std::size_t size, unsigned seed = 1);
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

std::unique_ptr<Requester> connect_to(const FakeService &fake, int window = 20,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The messages of one kind: on `channel` with `action`.
std::vector<Received> select(const std::vector<Received> &all, const std::string &channel, int action);

// Serves one retrieve as the service's file burst does: chunks of the
// buffer size under a window, the first carrying the size, the last short
// (empty after a whole number of chunks) and final, and the completion reply
// when an acknowledgement's burst ended the transfer. Faults are set by the
// fields. Runs on the fake's thread only.
struct FileSender {
    std::string content;
    int window = 4;
    std::uint64_t announced = UINT64_MAX; // total_size of the first chunk; max: the content's size
    std::size_t cut_at = std::string::npos; // sends the final chunk at this byte

    void operator()(FakeService &fake, const Received &message);

private:
    void burst(FakeService &fake);
    std::int32_t id_ = 0;
    std::size_t position_ = 0;
    int used_ = 0;
    bool first_ = true;
    bool done_ = false;
};

} // namespace zem::test

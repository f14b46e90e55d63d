// Helpers shared by the requester tests: scratch directories that list the
// temporary files left in them, a requester connected to a fake service, and
// the fake service's side of a retrieve.
#pragma once

#include "client/requester.h"
#include "fake_service.h"
#include "file_contents.h"
#include "scratch_dir.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zem::test {

inline constexpr int kChunk = 64; // a small chunk size: many chunks from small files

inline constexpr const char *kRequestChannel = "ZemBrQkService";
inline constexpr const char *kAckChannel = "ZemBrQkAckSvc";

using test_support::pattern;
using test_support::read_file;
using test_support::write_file;

// A directory of its own for one test, removed afterwards.
class ScratchDir : public test_support::ScratchDir {
public:
    // Entries whose names start with ".": temporary files left behind.
    std::vector<std::string> hidden_entries() const;
};

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

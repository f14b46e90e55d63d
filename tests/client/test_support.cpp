#include "test_support.h"

#include "wire/zem_request_data.h"

#include <filesystem>

namespace zem::test {

std::vector<std::string> ScratchDir::hidden_entries() const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path())) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && name[0] == '.') names.push_back(entry.path().string());
    }
    return names;
}

std::unique_ptr<Requester> connect_to(const FakeService &fake, int window, std::chrono::milliseconds timeout) {
    RequesterOptions options;
    options.url = fake.url();
    options.buffer_size = fake.buffer_size();
    options.window = window;
    options.timeout = timeout;
    Result result;
    auto requester = Requester::connect(options, result);
    EXPECT_TRUE(requester) << result.message;
    return requester;
}

std::vector<Received> select(const std::vector<Received> &all, const std::string &channel, int action) {
    std::vector<Received> out;
    for (const auto &m : all)
        if (m.channel == channel && m.action == action) out.push_back(m);
    return out;
}

void FileSender::operator()(FakeService &fake, const Received &message) {
    if (message.channel == kRequestChannel && message.action == ZEM_RETRIEVE) {
        id_ = message.request_id;
        position_ = message.offset > 0 ? static_cast<std::size_t>(message.offset) : 0;
        used_ = 0;
        first_ = true;
        done_ = false;
        burst(fake);
    } else if (message.channel == kAckChannel && message.request_id == id_ && message.action == ZEM_ACK) {
        --used_;
        if (!done_) {
            burst(fake);
            if (done_) fake.reply(id_, ZEM_RETRIEVE, 1);
        }
    }
}

void FileSender::burst(FakeService &fake) {
    const std::size_t size = fake.buffer_size();
    const std::size_t end = std::min(content.size(), cut_at);
    while (!done_ && used_ < window) {
        const std::size_t n = position_ < end ? std::min(size, end - position_) : 0;
        const bool final = n < size || position_ + n >= cut_at;
        const std::uint64_t total = announced == UINT64_MAX ? content.size() : announced;
        fake.chunk(id_, content.data() + std::min(position_, content.size()), static_cast<int>(n), final ? 1 : 0,
                   first_ ? total : 0);
        first_ = false;
        if (n > 0) ++used_;
        position_ += n;
        done_ = final;
    }
}

} // namespace zem::test

#include "plugin_fixture.h"

#include "frame/service_factory.h"
#include "service/zem_svc.h"
#include "tabul.h"

namespace zem::test {

void PluginTest::SetUp()
{
    root = scratch.path();
    netdir = root / "net";
    fs::create_directories(netdir);
    host.set_attrib("netdir_path", netdir.string());
    host.set_attrib("qk_dat_dir", ZEM_CONF_DIR);
    descriptor = configure_zem_svc(host.handle(), host.api());
}

void PluginTest::TearDown()
{
    stop_service();
    if (initialised) descriptor->term();
    initialised = false;
}

void PluginTest::start_service()
{
    ASSERT_EQ(descriptor->init(), 0);
    initialised = true;
    ASSERT_EQ(descriptor->start(), 0);
    started = true;
}

void PluginTest::stop_service()
{
    if (started) descriptor->stop();
    started = false;
}

int PluginTest::buffer_size() const
{
    auto value = host.attrib("zem_buffer_size");
    return value ? std::atoi(value->c_str()) : 7168;
}

Bytes PluginTest::encode(const Request &request) const
{
    const int B = buffer_size();
    std::vector<char> chunk;
    zem_request_data record{};
    record.request_id = request.request_id;
    record.action = request.action;
    record.flags = request.flags;
    record.source = const_cast<char *>(request.source.c_str());
    record.destination = const_cast<char *>(request.destination.c_str());
    record.offset = request.offset;
    record.final = request.final;
    record.length = request.length.value_or(static_cast<int32_t>(request.data.size()));
    if (!request.data.empty()) {
        chunk.assign(static_cast<size_t>(B), '\0');
        std::copy_n(request.data.begin(), std::min(request.data.size(), chunk.size()), chunk.begin());
        record.data = chunk.data();
    }
    Bytes out(request.source.size() + request.destination.size() + static_cast<size_t>(B) + 128);
    const int length = zem_encode_record(&record, reinterpret_cast<char *>(out.data()),
                                         static_cast<int>(out.size()), B);
    EXPECT_GT(length, 0);
    out.resize(static_cast<size_t>(std::max(length, 0)));
    return out;
}

std::optional<int> PluginTest::send_request(const Request &request)
{
    return host.deliver(kRequests, encode(request));
}

std::optional<int> PluginTest::send_ack(int32_t request_id, int32_t action, int32_t final)
{
    Request ack;
    ack.request_id = request_id;
    ack.action = action;
    ack.final = final;
    return host.deliver(kAcks, encode(ack));
}

static Message decode_message(const Bytes &bytes, int B)
{
    zem_request_data record{};
    Message message;
    message.wire_size = bytes.size();
    if (zem_decode_record(bytes.data(), static_cast<int>(bytes.size()), &record, B) != 0) {
        ADD_FAILURE() << "the service sent a message that does not decode";
        return message;
    }
    message.request_id = record.request_id;
    message.action = record.action;
    message.flags = record.flags;
    message.offset = record.offset;
    message.length = record.length;
    message.final = record.final;
    message.total_size = record.total_size;
    message.source = record.source ? record.source : "";
    message.destination = record.destination ? record.destination : "";
    message.net_dir = record.net_dir ? record.net_dir : "";
    if (record.data && record.length > 0)
        message.data.assign(record.data, record.data + std::min(record.length, B));
    zem_release_decoded(&record);
    return message;
}

std::vector<Message> PluginTest::messages(const std::string &channel) const
{
    std::vector<Message> out;
    for (const Bytes &bytes : host.sent(channel)) out.push_back(decode_message(bytes, buffer_size()));
    return out;
}

std::vector<Message> PluginTest::take(const std::string &channel)
{
    std::vector<Message> out = messages(channel);
    // Forget everything sent so far: tests take one channel at a time.
    host.clear_sent();
    return out;
}

void PluginTest::store_file(int32_t id, const std::string &remote, const std::string &content, int32_t flags)
{
    const size_t B = static_cast<size_t>(buffer_size());
    size_t position = 0;
    do {
        Request chunk;
        chunk.request_id = id;
        chunk.action = ZEM_STORE;
        chunk.flags = flags;
        chunk.source = remote;
        chunk.destination = remote;
        const size_t n = std::min(B, content.size() - position);
        chunk.data.assign(content.begin() + static_cast<long>(position), content.begin() + static_cast<long>(position + n));
        position += n;
        chunk.final = position >= content.size() ? 1 : 0;
        send_request(chunk);
        const auto replies = take(kReplies);
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_EQ(replies[0].action, ZEM_ACK);
        ASSERT_EQ(replies[0].final, chunk.final);
    } while (position < content.size());
}

std::string PluginTest::retrieve_file(int32_t id, const std::string &remote, int32_t flags, int32_t offset)
{
    Request request;
    request.request_id = id;
    request.action = ZEM_RETRIEVE;
    request.flags = flags;
    request.source = remote;
    request.offset = offset;
    send_request(request);
    std::string content;
    for (int rounds = 0; rounds < 1000000; ++rounds) {
        const auto chunks = take(kData);
        if (chunks.empty()) break;
        bool final = false;
        for (const Message &chunk : chunks) {
            content.append(chunk.data.begin(), chunk.data.end());
            final = final || chunk.final;
            if (!chunk.final) send_ack(id);
        }
        if (final) break;
    }
    return content;
}

size_t PluginTest::table_size()
{
    size_t count = 0;
    host.post([&count] {
        if (CZemSvc *service = zem_service_instance(); service && service->table)
            count = ht_count(service->table->handle);
    });
    return count;
}

} // namespace zem::test

// How the host carries the plug-in's channels between processes.
//
// A transport reads on threads of its own and hands every received message
// to a MessageSink, which queues it for the service thread; nothing of the
// plug-in runs on a transport thread. Sending copies the bytes and may be
// called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem::host {

class MessageSink {
public:
    // Queues one message received on channel for the service thread. False
    // when no handler is registered for the channel (the message is dropped).
    virtual bool deliver(const std::string &channel, std::vector<std::uint8_t> payload) = 0;
    // True while the service thread has too much received input waiting;
    // readers stop reading until it drains.
    virtual bool backlogged() const = 0;
    // Waits until the backlog is below its limit, at most timeout.
    virtual void wait_for_room(std::chrono::milliseconds timeout) = 0;

protected:
    ~MessageSink() = default;
};

class Transport {
public:
    virtual ~Transport() = default;

    // Listens or connects and starts the transport's threads. Returns an
    // empty string on success, else why it failed.
    virtual std::string open() = 0;
    // Where the transport serves, for log lines ("tcp 127.0.0.1:7468").
    virtual std::string describe() const = 0;
    // Makes messages on channel arrive at the sink; false when that fails.
    virtual bool listen(const std::string &channel) = 0;
    // Undoes listen for channel.
    virtual void unlisten(const std::string &channel) = 0;
    // Hands a copy of the message to the transport: 0 when it was accepted
    // for delivery, nonzero when the channel has nowhere to go.
    virtual int send(const std::string &channel, const void *data, std::size_t size) = 0;
    // Stops the threads and drops every connection; nothing is delivered
    // to the sink afterwards.
    virtual void close() = 0;
};

} // namespace zem::host

// The four channel names of the service, as the requester sees them.
#pragma once

#include <string>

namespace zem {

struct Channels {
    std::string request;     // requester -> service: requests
    std::string ack;         // requester -> service: acknowledgements of data chunks
    std::string data;        // service -> requester: data chunks
    std::string reply;       // service -> requester: every other reply

    // The names the service uses; with a non-empty subject S every name
    // becomes "<name>_S", as the service forms its publish/subscribe subjects.
    static Channels for_subject(const std::string &subject) {
        auto name = [&](const char *base) {
            return subject.empty() ? std::string(base) : std::string(base) + "_" + subject;
        };
        return {name("ZemBrQkService"), name("ZemBrQkAckSvc"), name("ZemQkBrService"),
                name("ZemQkBrAckSvc")};
    }
};

} // namespace zem

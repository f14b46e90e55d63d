// What a requester operation ended with: a kind, which the command-line tool
// turns into its exit status, and a message in plain words.
#pragma once

#include <cstdint>
#include <string>

namespace zem {

enum class ErrorKind {
    none,        // success                                     exit 0
    usage,       // the request itself is wrong                 exit 2
    not_found,   // the source does not exist                   exit 3
    no_space,    // the destination's disk is full              exit 4
    failed,      // the service refused or failed, or I/O here  exit 5
    timeout,     // no answer within the timeout                exit 6
    connection,  // the transport cannot be reached or broke    exit 7
    interrupted, // stopped by a signal                         exit 130
};

// The exit status of the command-line tool for a kind.
constexpr int exit_code(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::none: return 0;
    case ErrorKind::usage: return 2;
    case ErrorKind::not_found: return 3;
    case ErrorKind::no_space: return 4;
    case ErrorKind::failed: return 5;
    case ErrorKind::timeout: return 6;
    case ErrorKind::connection: return 7;
    case ErrorKind::interrupted: return 130;
    }
    return 5;
}

struct Result {
    ErrorKind kind = ErrorKind::none;
    std::string message;        // empty on success
    std::uint64_t bytes = 0;    // data bytes moved (acknowledged by the host for a store)
    std::uint64_t total_size = 0; // retrieve: the source's size as announced; disk usage: the size

    explicit operator bool() const { return kind == ErrorKind::none; }
    static Result error(ErrorKind kind, std::string message) {
        Result r;
        r.kind = kind;
        r.message = std::move(message);
        return r;
    }
};

} // namespace zem

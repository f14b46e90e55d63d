// The sending side of the service as operations see it. Buffers stay the
// caller's: they are released after the call returns.
#pragma once

class IDiskOperationManager {
public:
    // Status reply for a failed operation: -47 gives ZEM_NOT_FOUND, -46
    // ZEM_NO_SPACE, anything else ZEM_FAILED. The host's result, or -1.
    virtual int send_error(int request_id, int code) = 0;
    // An encoded data chunk on the data channel; 0 means sent.
    virtual int send_data(const char *buffer, int length) = 0;
    // An encoded reply on the reply channel; 0 means sent.
    virtual int send_ack(const char *buffer, int length) = 0;

protected:
    // Operations borrow the manager; they never delete it.
    ~IDiskOperationManager() = default;
};

// One object per transfer in progress: what the request asked for, its open
// file or stream, its transfer window and the manager it sends through.
// Owned by its request-table entry; destroyed only when the entry goes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "service/disk_operation_manager.h"
#include "wire/zem_request_data.h"

// How many data chunks may be out unacknowledged.
struct CTransferWindow {
    int size = 0; // zem_window_size; 0 never sends, negative never fills
    int used = 0; // may fall below 0 (an ack of a chunk that took no slot)

    void close() { ++used; }
    void open() { --used; }
    bool is_full() const { return used == size; }
};

// Operation results shared by the subclasses.
#define ZEM_OP_FINAL_SENT 2
#define ZEM_OP_MORE 1
#define ZEM_OP_NOT_FOUND (-47)
#define ZEM_OP_NO_SPACE (-46)
#define ZEM_OP_FAILED (-40)
#define ZEM_OP_ENCODE_FAILED (-50)

class CDiskOperations {
public:
    // Operations that send (retrieve, remove, prepare, directory stores).
    CDiskOperations(const zem_request_data *record, IDiskOperationManager *manager);
    // A file store, which sends nothing itself: data and length are the first chunk.
    CDiskOperations(const zem_request_data *record, const char *data, int length);
    virtual ~CDiskOperations();
    CDiskOperations(const CDiskOperations &) = delete;
    CDiskOperations &operator=(const CDiskOperations &) = delete;

    // 2: the final data chunk went out in this call; 1: more to send; 0:
    // sending starts later by itself; -47/-46/-40: answered with a status
    // reply by the dispatcher; other negative values: already reported.
    virtual int retrieve() = 0;
    // 1 when this call sent the final data chunk, else 0.
    virtual int on_ack(const zem_request_data *ack);
    // Writes the chunk held by set_chunk; 0, or a negative code for the requester.
    virtual int store() = 0;
    virtual int prepare() { return 0; }
    // 0 when removed, else a negative code.
    virtual int remove() = 0;
    // Takes the data of a further record of the same request id.
    virtual void set_chunk(const zem_request_data *record);
    // Called before the final store chunk is acknowledged: makes the stored
    // data durable (closes the file, completes the tree). 0, or a negative
    // code after reporting.
    virtual int complete_store() = 0;

    // False when the path copies could not be allocated.
    bool constructed() const { return constructed_; }

    int32_t request_id;
    int32_t action;
    int32_t flags;
    char *path = nullptr;
    char *dest_path = nullptr;
    int32_t path_len = 0;
    int32_t dest_path_len = 0;
    int32_t offset;
    const char *chunk_data = nullptr;
    int32_t chunk_length = 0;
    FILE *file = nullptr;
    CTransferWindow window;
    int finished = 0;
    IDiskOperationManager *manager = nullptr;

protected:
    // The burst that on_ack runs while the operation is not finished.
    virtual int burst() = 0;

    // The two work buffers of a burst and the settings it runs with,
    // released when the burst returns.
    struct Burst {
        int buffer_size = 0;          // B
        const char *net_dir = nullptr; // netdir_path, may be null
        char *read_buffer = nullptr;  // B + 1 bytes
        char *encode_buffer = nullptr;
        int encode_size = 0;
        ~Burst();
    };
    // Allocates the burst's buffers; false after reporting -51991.
    bool begin_burst(Burst &burst) const;
    // Encodes and sends one data chunk of n bytes; closes a window slot for a
    // chunk with bytes. With finish_on_final, `finished` is set once a final
    // chunk has been encoded, before it is handed over. 0 when sent; -50 or
    // -1 after reporting.
    int send_chunk(Burst &burst, int n, int final, uint64_t total_size, bool finish_on_final);
    // The sender named in a failed-send report.
    virtual const char *sender_name() const = 0;

private:
    void copy_identity(const zem_request_data *record);
    bool constructed_ = true;
};

// The directory part of path ("." when it has none).
std::string directory_of(const char *path);

// Free space of the volume holding path's directory, and that directory.
struct SpaceCheck {
    explicit SpaceCheck(const char *path);
    std::string directory;
    uint64_t free_bytes;
};

// The operation of a request that names a single file: store chunks into
// it, retrieve it in bursts under the window (optionally as a gzip image
// made on the fly), or remove it.
#pragma once

#include "diskops/disk_operations.h"
#include "foldex.h"
#include "zem/host_api.h"

class CFileOperations final : public CDiskOperations {
public:
    CFileOperations(const zem_request_data *record, IDiskOperationManager *manager);
    CFileOperations(const zem_request_data *record, const char *data, int length);
    ~CFileOperations() override;

    int retrieve() override;
    int store() override;
    int remove() override;
    int complete_store() override;

    // One burst of data chunks; 2, 1, -47, -1 or -50.
    int send_chunks();

    wgz_file_op gz_op = 0;   // compression of a .gzl image in progress
    zem_handle gz_timer = 0; // the timer driving it

protected:
    int burst() override { return send_chunks(); }
    const char *sender_name() const override { return "CFileOperations::retrieve()"; }

private:
    // Closes a written file; reports a failure as the destructor would.
    // 0, -46 (no space) or -51979.
    int close_written_file();
    // The compressed image: discard a stale one, start a new one.
    void discard_stale_image();
    int start_compression();
    static int compress_step(void *context);
};

// Opens path for writing ("ab" with append, else "wb"), creating missing
// parent directories; null after reporting.
FILE *open_for_write(const char *path, int append);

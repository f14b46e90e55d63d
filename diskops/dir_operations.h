// The operation of a request that names a directory: the tree travels as
// one tar stream, read from `path` for a retrieve and extracted under
// `dest_path` for a store.
#pragma once

#include "diskops/disk_operations.h"
#include "foldex.h"

class CDirAsFileOperations final : public CDiskOperations {
public:
    CDirAsFileOperations(const zem_request_data *record, IDiskOperationManager *manager);
    ~CDirAsFileOperations() override;

    int retrieve() override;
    int store() override;
    int remove() override;
    int complete_store() override;

    wgz_dir dir_stream = 0; // read mode after the first retrieve, write mode after the first store

protected:
    int burst() override { return retrieve(); }
    const char *sender_name() const override { return "CDirAsFileOperations::retrieve()"; }

private:
    // Reports a failed write of a piece and gives the store result.
    int write_failed(int piece, int write_result);
};

// The plug-in's XDR routine of zem_request_data: the codec with the chunk
// size taken from the host attribute zem_buffer_size.
#pragma once

#include "wire/zem_request_data.h"

extern "C" {

// Encodes, decodes or frees the record as the stream's direction says
// (xdr_zem_request_data_sized with B = atoi of zem_buffer_size, read on
// every call). Usable as an xdrproc_t, e.g. with xdr_free. Nonzero on
// success, 0 on failure; it reports nothing.
bool_t xdr_zem_request_data(XDR *xdrs, zem_request_data *record);

}

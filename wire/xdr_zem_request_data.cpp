#include "wire/xdr_zem_request_data.h"

#include "frame/host_binding.h"

bool_t xdr_zem_request_data(XDR *xdrs, zem_request_data *record) {
    return xdr_zem_request_data_sized(xdrs, record, zem_attrib_int("zem_buffer_size"));
}

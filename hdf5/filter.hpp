// The verdalix HDF5 filter: the class HDF5 receives, and its callbacks. The
// chunk work is the C library's (vdx_compress_chunk, vdx_decompress), so an
// HDF5 chunk holds exactly the bytes the storage codecs store.
#pragma once

#include "hdf5/h5_abi.hpp"

namespace vdx::h5 {

// can_apply: the dataset is chunked and its type is one the codec stores.
htri_t can_apply(hid_t dcpl, hid_t type, hid_t space);

// set_local: completes the writer's values with the type and chunk shape.
herr_t set_local(hid_t dcpl, hid_t type, hid_t space);

// The filter callback: compresses the chunk in *buf, or decodes it when
// flags holds H5Z_FLAG_REVERSE; the new size, or 0 with *buf unchanged.
size_t filter(unsigned flags, size_t cd_nelmts, const unsigned cd_values[], size_t nbytes,
              size_t* buf_size, void** buf);

const H5Z_class2_t& filter_class();

}  // namespace vdx::h5

// The part of HDF5's C ABI that the filter plugin uses, declared here rather
// than taken from hdf5.h: the plugin calls HDF5 only through functions it
// resolves at run time in the library that loaded it (h5_runtime.hpp), so it
// needs HDF5's types, not its headers or its library, to build. These are
// HDF5's own declarations of 1.10 and later (hid_t is 64-bit since 1.10); the
// test_h5_abi check compiles them against Debian's hdf5.h, field by field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdx::h5 {

using hid_t = int64_t;
using herr_t = int;
using htri_t = int;
using hsize_t = unsigned long long;
using hbool_t = bool;
using H5Z_filter_t = int;

enum H5PL_type_t { H5PL_TYPE_ERROR = -1, H5PL_TYPE_FILTER = 0 };
enum H5T_class_t { H5T_NO_CLASS = -1, H5T_INTEGER = 0, H5T_FLOAT = 1 };
enum H5T_order_t { H5T_ORDER_ERROR = -1, H5T_ORDER_LE = 0, H5T_ORDER_BE = 1 };
enum H5T_sign_t { H5T_SGN_ERROR = -1, H5T_SGN_NONE = 0, H5T_SGN_2 = 1 };

inline constexpr int H5Z_CLASS_T_VERS = 1;
inline constexpr unsigned H5Z_FLAG_REVERSE = 0x0100;
inline constexpr hid_t H5E_DEFAULT = 0;
inline constexpr int H5S_MAX_RANK = 32;

using H5Z_can_apply_func_t = htri_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using H5Z_set_local_func_t = herr_t (*)(hid_t dcpl_id, hid_t type_id, hid_t space_id);
using H5Z_func_t = size_t (*)(unsigned int flags, size_t cd_nelmts, const unsigned int cd_values[],
                              size_t nbytes, size_t* buf_size, void** buf);

struct H5Z_class2_t {
  int version;
  H5Z_filter_t id;
  unsigned encoder_present;
  unsigned decoder_present;
  const char* name;
  H5Z_can_apply_func_t can_apply;
  H5Z_set_local_func_t set_local;
  H5Z_func_t filter;
};

// The functions resolved at run time, by their HDF5 signatures.
using H5Pget_chunk_t = int (*)(hid_t plist_id, int max_ndims, hsize_t dim[]);
using H5Pget_filter_by_id2_t = herr_t (*)(hid_t plist_id, H5Z_filter_t id, unsigned int* flags,
                                          size_t* cd_nelmts, unsigned cd_values[], size_t namelen,
                                          char name[], unsigned* filter_config);
using H5Pmodify_filter_t = herr_t (*)(hid_t plist_id, H5Z_filter_t filter, unsigned int flags,
                                      size_t cd_nelmts, const unsigned int cd_values[]);
using H5Tget_class_t = H5T_class_t (*)(hid_t type_id);
using H5Tget_size_t = size_t (*)(hid_t type_id);
using H5Tget_order_t = H5T_order_t (*)(hid_t type_id);
using H5Tget_sign_t = H5T_sign_t (*)(hid_t type_id);
using H5allocate_memory_t = void* (*)(size_t size, hbool_t clear);
using H5free_memory_t = herr_t (*)(void* mem);
using H5Epush2_t = herr_t (*)(hid_t err_stack, const char* file, const char* func, unsigned line,
                              hid_t cls_id, hid_t maj_id, hid_t min_id, const char* msg, ...);

}  // namespace vdx::h5

// HDF5's functions, found at run time in the HDF5 library that called the
// plugin. A process may hold more than one libhdf5 (h5py's wheels bring
// their own, private one; a program may link the system's), and a filter
// must talk to the one whose property lists and buffers it was handed: that
// is the library containing the caller's return address.
#pragma once

#include "hdf5/h5_abi.hpp"

namespace vdx::h5 {

struct Hdf5Functions {
  H5Pget_chunk_t get_chunk = nullptr;
  H5Pget_filter_by_id2_t get_filter_by_id = nullptr;
  H5Pmodify_filter_t modify_filter = nullptr;
  H5Tget_class_t get_class = nullptr;
  H5Tget_size_t get_size = nullptr;
  H5Tget_order_t get_order = nullptr;
  H5Tget_sign_t get_sign = nullptr;
  H5allocate_memory_t allocate = nullptr;   // null: HDF5 older than 1.8.15
  H5free_memory_t free = nullptr;
  H5Epush2_t push_error = nullptr;
  const hid_t* error_class = nullptr;       // H5E_ERR_CLS_g
  const hid_t* pipeline_major = nullptr;    // H5E_PLINE_g
  const hid_t* filter_minor = nullptr;      // H5E_CANTFILTER_g

  bool has_property_calls() const {
    return get_chunk && get_filter_by_id && modify_filter && get_class && get_size &&
           get_order && get_sign;
  }
};

// `caller` is a return address inside HDF5 (__builtin_return_address(0) in
// a callback HDF5 called). Falls back to the process's global symbols when
// that library cannot be opened by name; functions not found stay null.
Hdf5Functions resolve_hdf5(const void* caller);

// Pushes `message` onto HDF5's error stack (as a pipeline error) when the
// functions were found; HDF5 adds its own "filter returned failure".
void push_error(const Hdf5Functions& hdf5, const char* function, const char* message);

// Buffers handed to HDF5 come from its own allocator where it has one.
void* allocate_buffer(const Hdf5Functions& hdf5, size_t size);
void free_buffer(const Hdf5Functions& hdf5, void* buffer);

}  // namespace vdx::h5

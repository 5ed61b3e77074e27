// The two functions HDF5 looks up in a dynamically loaded filter plugin
// (H5PL), and the only symbols the plugin exports.
#include "hdf5/filter.hpp"

extern "C" {

__attribute__((visibility("default"))) vdx::h5::H5PL_type_t H5PLget_plugin_type(void) {
  return vdx::h5::H5PL_TYPE_FILTER;
}

__attribute__((visibility("default"))) const void* H5PLget_plugin_info(void) {
  return &vdx::h5::filter_class();
}

}  // extern "C"

#include "hdf5/h5_runtime.hpp"

#include <dlfcn.h>

#include <cstdlib>

namespace vdx::h5 {
namespace {

template <class F>
void find(void* handle, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(handle, name));
}

void find_all(void* handle, Hdf5Functions* f) {
  find(handle, "H5Pget_chunk", &f->get_chunk);
  find(handle, "H5Pget_filter_by_id2", &f->get_filter_by_id);
  find(handle, "H5Pmodify_filter", &f->modify_filter);
  find(handle, "H5Tget_class", &f->get_class);
  find(handle, "H5Tget_size", &f->get_size);
  find(handle, "H5Tget_order", &f->get_order);
  find(handle, "H5Tget_sign", &f->get_sign);
  find(handle, "H5allocate_memory", &f->allocate);
  find(handle, "H5free_memory", &f->free);
  find(handle, "H5Epush2", &f->push_error);
  find(handle, "H5E_ERR_CLS_g", &f->error_class);
  find(handle, "H5E_PLINE_g", &f->pipeline_major);
  find(handle, "H5E_CANTFILTER_g", &f->filter_minor);
}

}  // namespace

Hdf5Functions resolve_hdf5(const void* caller) {
  Hdf5Functions functions;
  Dl_info info{};
  if (caller != nullptr && dladdr(caller, &info) != 0 && info.dli_fname != nullptr) {
    // RTLD_NOLOAD: only a handle to the library already loaded, whose
    // reference is dropped again at once; it stays loaded, being our caller.
    if (void* handle = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)) {
      find_all(handle, &functions);
      dlclose(handle);
      if (functions.has_property_calls()) return functions;
    }
  }
  find_all(RTLD_DEFAULT, &functions);
  return functions;
}

void push_error(const Hdf5Functions& hdf5, const char* function, const char* message) {
  if (!hdf5.push_error || !hdf5.error_class || !hdf5.pipeline_major || !hdf5.filter_minor) return;
  hdf5.push_error(H5E_DEFAULT, __FILE__, function, __LINE__, *hdf5.error_class,
                  *hdf5.pipeline_major, *hdf5.filter_minor, "%s", message);
}

void* allocate_buffer(const Hdf5Functions& hdf5, size_t size) {
  return hdf5.allocate ? hdf5.allocate(size, false) : std::malloc(size);
}

void free_buffer(const Hdf5Functions& hdf5, void* buffer) {
  if (hdf5.free) {
    hdf5.free(buffer);
  } else {
    std::free(buffer);
  }
}

}  // namespace vdx::h5

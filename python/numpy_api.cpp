#define VERDALIX_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include "python/process_once.hpp"

namespace vdx::python {
namespace {

ProcessOnce<void*> numpy_table;

void** import_numpy_table() {
  // NumPy's own loader: it imports the multiarray module, checks the ABI and
  // API versions and fills PyArray_API.
  if (_import_array() < 0) return nullptr;
  return PyArray_API;
}

}  // namespace

bool ensure_numpy_api() { return numpy_table.get(import_numpy_table) != nullptr; }

}  // namespace vdx::python

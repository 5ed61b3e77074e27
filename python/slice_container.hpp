// PySliceContainer: the base object that owns the codec's sample buffer
// behind an array returned by decompress_signal, so the samples are handed
// to NumPy without a copy and live exactly as long as the array and its views.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

namespace vdx::python {

// A 1-D writeable float32 array over `samples`' own buffer, its base a new
// PySliceContainer. Takes the buffer even on failure (then it is released).
// Needs NumPy's C API.
PyObject* array_over_samples(std::vector<float>&& samples);

}  // namespace vdx::python

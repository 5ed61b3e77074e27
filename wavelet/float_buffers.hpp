// Fallible float buffers: the allocations whose failure the transforms report
// as "Cannot allocate {} bytes to vector" instead of letting std::bad_alloc
// escape. Every other allocation in the transforms may throw.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "common/result.hpp"
#include "wavelet/wavelet_error.hpp"

namespace vdx::wavelet {

// Byte size of `count` floats, saturated so that an impossible request still
// produces a meaningful message.
size_t float_bytes(size_t count);

// A zero-filled vector of `count` floats.
Result<std::vector<float>, WaveletError> zeroed_floats(size_t count);

// Resizes `buffer` to `count` floats; new elements are zero.
Result<void, WaveletError> resize_zeroed(std::vector<float>& buffer, size_t count);

// `count` floats with unspecified contents, for buffers that are written in
// full before they are read.
Result<std::unique_ptr<float[]>, WaveletError> uninitialised_floats(size_t count);

}  // namespace vdx::wavelet

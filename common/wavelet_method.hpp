// The wavelet a container names. Shared by the codec, which reads and writes
// it as the container's wavelet tag, and the transform layer, which builds
// the transform it selects; it lives below both so that neither reaches into
// the other's folder for it. Values are part of the container format and
// must never be renumbered.
#pragma once

#include <cstdint>

namespace vdx {

enum class WaveletMethod : uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };

}  // namespace vdx

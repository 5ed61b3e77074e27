#include "wavelet/dwt.hpp"

#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"
#include "wavelet/eight_tap_kernels.hpp"
#include "wavelet/filter_bank_dwt.hpp"
#include "wavelet/util.hpp"

namespace vdx::wavelet {

DwtHandle create_dwt(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::Cdf53:
      return std::make_shared<const Cdf53Lifting>();
    case WaveletMethod::Cdf97:
      return std::make_shared<const Cdf97Lifting>();
    case WaveletMethod::Db4:
      return create_filter_bank_dwt(kDb4Coefficients, preferred_implementation());
    case WaveletMethod::Sym4:
      return create_filter_bank_dwt(kSym4Coefficients, preferred_implementation());
  }
  return nullptr;  // the option parser and the container reader admit no other value
}

size_t filter_length_of(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::Cdf53:
      return Cdf53Lifting::kFilterLength;
    case WaveletMethod::Cdf97:
      return Cdf97Lifting::kFilterLength;
    case WaveletMethod::Db4:
    case WaveletMethod::Sym4:
      return eight_tap::kTaps;
  }
  return 0;
}

std::pair<size_t, size_t> forward_sizes_of(WaveletMethod method, size_t n) {
  switch (method) {
    case WaveletMethod::Cdf53:
      return Cdf53Lifting::sizes(n);
    case WaveletMethod::Cdf97:
      return Cdf97Lifting::sizes(n);
    case WaveletMethod::Db4:
    case WaveletMethod::Sym4:
      return {eight_tap::band_length(n), eight_tap::band_length(n)};
  }
  return {0, 0};
}

}  // namespace vdx::wavelet

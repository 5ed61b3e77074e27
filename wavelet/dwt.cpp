#include "wavelet/dwt.hpp"

#include "wavelet/cdf53f.hpp"
#include "wavelet/cdf97f.hpp"
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

}  // namespace vdx::wavelet

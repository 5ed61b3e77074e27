#include "src/frame/kept_runs.hpp"

namespace vdx::frame {

bool fill_kept(std::span<float> work, std::span<const uint8_t> kept) {
  const size_t n = work.size();
  bool any_free = false;
  size_t i = 0;
  while (i < n) {
    if (!kept[i]) {
      any_free = true;
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && kept[end]) ++end;
    const bool has_left = i > 0;
    const bool has_right = end < n;
    if (has_left && has_right) {
      const float left = work[i - 1];
      const float step_count = static_cast<float>(end - i + 1);
      const float rise = work[end] - left;
      for (size_t k = i; k < end; ++k) {
        work[k] = left + rise * (static_cast<float>(k - i + 1) / step_count);
      }
    } else if (has_left || has_right) {
      const float edge = has_left ? work[i - 1] : work[end];
      for (size_t k = i; k < end; ++k) work[k] = edge;
    }
    i = end;
  }
  return any_free;
}

}  // namespace vdx::frame

// Size arithmetic for shapes read from untrusted files.
//
// Contract: saturating_mul returns a * b, or SIZE_MAX when the product does
// not fit; a saturated size never equals a real buffer's size, so comparing
// it against one reports a mismatch instead of wrapping around.
#pragma once

#include <cstddef>
#include <limits>

namespace kovrant {

inline std::size_t saturating_mul(std::size_t a, std::size_t b) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::size_t>::max();
  return product;
}

}  // namespace kovrant

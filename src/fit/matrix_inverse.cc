#include "fit/matrix_inverse.h"

#include <cmath>
#include <utility>

namespace kovrant {
namespace {

using Inverse = std::optional<std::vector<double>>;

Inverse invert_1(const double* m) {
  if (m[0] == 0.0) return std::nullopt;
  return std::vector<double>{1.0 / m[0]};
}

Inverse invert_2(const double* m) {
  const double det = m[0] * m[3] - m[1] * m[2];
  if (det == 0.0) return std::nullopt;
  return std::vector<double>{m[3] / det, -m[1] / det, -m[2] / det, m[0] / det};
}

Inverse invert_3(const double* m) {
  const double a = m[0], b = m[1], c = m[2];
  const double d = m[3], e = m[4], f = m[5];
  const double g = m[6], h = m[7], i = m[8];
  const double c00 = e * i - f * h, c01 = f * g - d * i, c02 = d * h - e * g;
  const double det = a * c00 + b * c01 + c * c02;
  if (det == 0.0) return std::nullopt;
  return std::vector<double>{c00 / det, (c * h - b * i) / det, (b * f - c * e) / det,
                             c01 / det, (a * i - c * g) / det, (c * d - a * f) / det,
                             c02 / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

// Laplace expansion by the 2 x 2 minors of the top two rows (s) and the
// bottom two rows (c).
Inverse invert_4(const double* m) {
  auto at = [m](int r, int col) { return m[r * 4 + col]; };
  const double s0 = at(0, 0) * at(1, 1) - at(1, 0) * at(0, 1);
  const double s1 = at(0, 0) * at(1, 2) - at(1, 0) * at(0, 2);
  const double s2 = at(0, 0) * at(1, 3) - at(1, 0) * at(0, 3);
  const double s3 = at(0, 1) * at(1, 2) - at(1, 1) * at(0, 2);
  const double s4 = at(0, 1) * at(1, 3) - at(1, 1) * at(0, 3);
  const double s5 = at(0, 2) * at(1, 3) - at(1, 2) * at(0, 3);
  const double c5 = at(2, 2) * at(3, 3) - at(3, 2) * at(2, 3);
  const double c4 = at(2, 1) * at(3, 3) - at(3, 1) * at(2, 3);
  const double c3 = at(2, 1) * at(3, 2) - at(3, 1) * at(2, 2);
  const double c2 = at(2, 0) * at(3, 3) - at(3, 0) * at(2, 3);
  const double c1 = at(2, 0) * at(3, 2) - at(3, 0) * at(2, 2);
  const double c0 = at(2, 0) * at(3, 1) - at(3, 0) * at(2, 1);
  const double det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
  if (det == 0.0) return std::nullopt;
  const double adjugate[16] = {
      at(1, 1) * c5 - at(1, 2) * c4 + at(1, 3) * c3,  -at(0, 1) * c5 + at(0, 2) * c4 - at(0, 3) * c3,
      at(3, 1) * s5 - at(3, 2) * s4 + at(3, 3) * s3,  -at(2, 1) * s5 + at(2, 2) * s4 - at(2, 3) * s3,
      -at(1, 0) * c5 + at(1, 2) * c2 - at(1, 3) * c1, at(0, 0) * c5 - at(0, 2) * c2 + at(0, 3) * c1,
      -at(3, 0) * s5 + at(3, 2) * s2 - at(3, 3) * s1, at(2, 0) * s5 - at(2, 2) * s2 + at(2, 3) * s1,
      at(1, 0) * c4 - at(1, 1) * c2 + at(1, 3) * c0,  -at(0, 0) * c4 + at(0, 1) * c2 - at(0, 3) * c0,
      at(3, 0) * s4 - at(3, 1) * s2 + at(3, 3) * s0,  -at(2, 0) * s4 + at(2, 1) * s2 - at(2, 3) * s0,
      -at(1, 0) * c3 + at(1, 1) * c1 - at(1, 2) * c0, at(0, 0) * c3 - at(0, 1) * c1 + at(0, 2) * c0,
      -at(3, 0) * s3 + at(3, 1) * s1 - at(3, 2) * s0, at(2, 0) * s3 - at(2, 1) * s1 + at(2, 2) * s0};
  std::vector<double> inverse(16);
  for (int k = 0; k < 16; ++k) inverse[k] = adjugate[k] / det;
  return inverse;
}

Inverse invert_gauss_jordan(std::span<const double> m, size_t n) {
  std::vector<double> a(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(n * n));
  std::vector<double> inverse(n * n, 0.0);
  for (size_t k = 0; k < n; ++k) inverse[k * n + k] = 1.0;
  for (size_t col = 0; col < n; ++col) {
    size_t pivot_row = col;
    for (size_t r = col + 1; r < n; ++r) {
      if (std::fabs(a[r * n + col]) > std::fabs(a[pivot_row * n + col])) pivot_row = r;
    }
    const double pivot = a[pivot_row * n + col];
    if (pivot == 0.0) return std::nullopt;
    if (pivot_row != col) {
      for (size_t k = 0; k < n; ++k) {
        std::swap(a[pivot_row * n + k], a[col * n + k]);
        std::swap(inverse[pivot_row * n + k], inverse[col * n + k]);
      }
    }
    for (size_t k = 0; k < n; ++k) {
      a[col * n + k] /= pivot;
      inverse[col * n + k] /= pivot;
    }
    for (size_t r = 0; r < n; ++r) {
      const double factor = a[r * n + col];
      if (r == col || factor == 0.0) continue;
      for (size_t k = 0; k < n; ++k) {
        a[r * n + k] -= factor * a[col * n + k];
        inverse[r * n + k] -= factor * inverse[col * n + k];
      }
    }
  }
  return inverse;
}

}  // namespace

std::optional<std::vector<double>> invert_matrix(std::span<const double> row_major, size_t n) {
  switch (n) {
    case 0:
      return std::vector<double>{};
    case 1:
      return invert_1(row_major.data());
    case 2:
      return invert_2(row_major.data());
    case 3:
      return invert_3(row_major.data());
    case 4:
      return invert_4(row_major.data());
    default:
      return invert_gauss_jordan(row_major, n);
  }
}

}  // namespace kovrant

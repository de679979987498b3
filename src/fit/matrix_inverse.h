// Inverse of a small dense square matrix, for the covariance of a fit.
//
// Contract: the matrix is n x n in row-major order. Sizes 1 to 4 use the
// closed-form cofactor (adjugate over determinant) formulas; larger sizes use
// Gauss-Jordan elimination with partial pivoting (largest absolute value in
// the column). A determinant that is exactly zero (sizes 1 to 4) or a pivot
// that is exactly zero means singular: the result is empty. Non-finite
// entries are not rejected; they propagate into the inverse. n = 0 gives an
// empty (engaged) inverse.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kovrant {

std::optional<std::vector<double>> invert_matrix(std::span<const double> row_major, size_t n);

}  // namespace kovrant

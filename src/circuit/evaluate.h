// Impedance of a circuit tree.
//
// Contract: impedance() uses the values stored in the elements;
// series_impedance_with_params() reads values through a cursor shared by the
// whole walk, each element taking exactly its parameter count, in tree order.
// A series list starts from 0 + 0j and adds its nodes in order; a parallel
// node sums the reciprocals of its branches and returns the reciprocal of that
// sum (guarded_reciprocal() of elements/complex.h: conj(z)/|z|^2, scaled
// where |z|^2 would overflow or underflow). Both are pure: any number of threads may
// evaluate the same tree at once. impedance_list() evaluates a whole frequency
// list (hertz), sequentially below kParallelThreshold points and on the worker
// pool from there on, with bit-identical results either way.
#pragma once

#include <span>

#include "circuit/tree.h"

namespace kovrant {

inline constexpr double kTwoPi = 6.283185307179586;
// Where the worker pool starts to pay: below it, waking the pool costs more
// CPU time than the points (measured in bench/README.md, "Speed, third round").
inline constexpr size_t kParallelThreshold = 8192;

struct ValueCursor {
  const double* next;
  const double* end;
};

Complex impedance(const SeriesList& series, double omega);
Complex series_impedance_with_params(const SeriesList& series, double omega, ValueCursor& cursor);

void impedance_list(const SeriesList& series, std::span<const double> frequencies_hz, std::span<Complex> out);

}  // namespace kovrant

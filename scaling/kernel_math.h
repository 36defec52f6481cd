#pragma once
// The arithmetic of the Lanczos kernel, written once for a scalar double and
// for vectors of doubles: the same IEEE operations in the same order give the
// same bits in every lane, so the vector kernels agree with the scalar one.
//
// A vector type D provides +, -, *, / and construction from a double, and
// these functions, found by argument-dependent lookup:
//   Single(D x)              each lane rounded to single precision
//   SineOfQuadrant(D shifted, D sine, D cosine)
//                            sine, cosine, -sine or -cosine per lane by the
//                            lowest two bits of shifted (see ReduceByHalfPi)
//   OneWhereZero(D x, D y)   1 where x is 0, y elsewhere
//   ZeroFromWidth(D v, D width, D y)
//                            y where width > v, 0 elsewhere
// Internal to the kernel sources. The AVX2 source compiles these templates for
// AVX2, so it instantiates them with its own vector type only: an
// instantiation that other sources share (with double, say) could otherwise
// end up as AVX2 code in all of them.

#include <cstddef>

namespace quillet::kernel_math {

constexpr double kPi = 3.141592653589793;
// pi / 2 in three parts: the first two have at most 33 significant bits, so k
// times either is exact for |k| < 2^20.
constexpr double kHalfPi1 = 0x1.921fb54400000p+0;
constexpr double kHalfPi2 = 0x1.0b4611a600000p-34;
constexpr double kHalfPi3 = 0x1.3198a2e037073p-69;
constexpr double kTwoOverPi = 0.6366197723675814;
// Adding and taking away 1.5 * 2^52 rounds to an integer, ties to even, in the
// default rounding mode.
constexpr double kRoundingShift = 0x1.8p52;

#define QUILLET_KERNEL_INLINE inline __attribute__((always_inline))

// Taylor series on [-pi/4, pi/4] of the argument r + tail, tail being far
// below the last bit of r; the first omitted terms are below 1e-19.
template <class D>
QUILLET_KERNEL_INLINE D SinNearZero(D r, D tail) {
  const D r2 = r * r;
  D p = 1.0 / 355687428096000.0;          // 1/17!
  p = p * r2 - D(1.0 / 1307674368000.0);  // 1/15!
  p = p * r2 + D(1.0 / 6227020800.0);     // 1/13!
  p = p * r2 - D(1.0 / 39916800.0);       // 1/11!
  p = p * r2 + D(1.0 / 362880.0);         // 1/9!
  p = p * r2 - D(1.0 / 5040.0);           // 1/7!
  p = p * r2 + D(1.0 / 120.0);            // 1/5!
  p = p * r2 - D(1.0 / 6.0);              // 1/3!
  // sin(r + tail) = sin(r) + tail * cos(r), to well below the last bit.
  return r + (r * r2 * p + tail * (D(1.0) - D(0.5) * r2));
}

template <class D>
QUILLET_KERNEL_INLINE D CosNearZero(D r, D tail) {
  const D r2 = r * r;
  D p = -1.0 / 6402373705728000.0;         // 1/18!
  p = p * r2 + D(1.0 / 20922789888000.0);  // 1/16!
  p = p * r2 - D(1.0 / 87178291200.0);     // 1/14!
  p = p * r2 + D(1.0 / 479001600.0);       // 1/12!
  p = p * r2 - D(1.0 / 3628800.0);         // 1/10!
  p = p * r2 + D(1.0 / 40320.0);           // 1/8!
  p = p * r2 - D(1.0 / 720.0);             // 1/6!
  p = p * r2 + D(1.0 / 24.0);              // 1/4!
  // 1 - r^2/2 loses its last bit when rounded; (1 - w) - half gives it back.
  const D half = D(0.5) * r2;
  const D w = D(1.0) - half;
  return w + (((D(1.0) - w) - half) + (r2 * r2 * p - tail * r));
}

// x - k pi/2 as r + tail, for k the nearest integer to x * 2/pi (ties to
// even). The first difference is exact; the error of the second is recovered,
// the third part only ever touches the tail. Returns x * 2/pi + 1.5 * 2^52,
// whose lowest mantissa bits are those of k. For |x| up to 1.6e6.
template <class D>
QUILLET_KERNEL_INLINE D ReduceByHalfPi(D x, D& r, D& tail) {
  const D shifted = x * D(kTwoOverPi) + D(kRoundingShift);
  const D k = shifted - D(kRoundingShift);
  const D a = x - k * D(kHalfPi1);
  const D b = a - k * D(kHalfPi2);
  const D error = (a - b) - k * D(kHalfPi2);
  const D c = k * D(kHalfPi3);
  r = b - c;
  tail = ((b - r) - c) + error;
  return shifted;
}

template <class D>
QUILLET_KERNEL_INLINE D SineOf(D x) {
  D r = 0.0, tail = 0.0;
  const D shifted = ReduceByHalfPi(x, r, tail);
  return SineOfQuadrant(shifted, SinNearZero(r, tail), CosNearZero(r, tail));
}

// sinc of single values held as doubles: 1 at 0, else sin(x1) / x1 with x1 =
// single(x * pi), rounded to single.
template <class D>
QUILLET_KERNEL_INLINE D SincOf(D x) {
  const D x1 = Single(x * D(kPi));
  return OneWhereZero(x, Single(SineOf(x1) / x1));
}

// The Lanczos kernel at v = |value| (a single value held as a double), for a
// width below 5e5 and its single reciprocal.
template <class D>
QUILLET_KERNEL_INLINE D LanczosOf(D v, D width, D widthReciprocal) {
  const D window = SincOf(Single(v * widthReciprocal));
  return ZeroFromWidth(v, width, Single(SincOf(v) * window));
}

// TLanczosKernel::FilterMany in AVX2, four lanes at a time.
void LanczosFilterManyAvx2(const float* Values, float* Results, size_t Count, float Width, float WidthReciprocal);

}  // namespace quillet::kernel_math

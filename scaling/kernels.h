#pragma once
// Filter kernels for the kernel resampler. A kernel is a function of the
// distance from a sample's centre, in source pixels, together with the
// distance beyond which it is 0.
//
// Every value is a single-precision float computed from IEEE double
// operations in a fixed order, so that a kernel gives the same bits on every
// target: the mapping tables, and through them every byte of a thumbnail,
// depend on them.
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace quillet {

// The sine of the kernels: the same bits on every platform, whatever the C
// library's sine would say; within one unit in the last place of the true
// sine for arguments of magnitude up to about 1.6e6.
double KernelSine(double x);

class TCustomKernel {
 public:
  virtual ~TCustomKernel() = default;
  virtual const char* ClassName() const = 0;
  // Whether a resampler must clamp its results to 0..255: true for kernels
  // with negative lobes, which overshoot at edges.
  virtual bool NeedsClamp() const { return false; }
  virtual float Filter(float Value) const = 0;
  virtual float GetWidth() const = 0;
  // Results[i] := Filter(Values[i]), the same bits, for Count values.
  virtual void FilterMany(const float* Values, float* Results, size_t Count) const;
};

// A class of kernels as the registry knows it: its name and how to make one.
struct TKernelClass {
  const char* ClassName;
  std::unique_ptr<TCustomKernel> (*Create)();
};

// 1 from -0.5 to 0.5, 0 elsewhere; width 1. The first kernel of every kernel
// resampler.
class TBoxKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TBoxKernel";
  const char* ClassName() const override { return StaticClassName; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 1.0f; }
};

// The triangle 1 - |x| for |x| < 1; width 1.
class TLinearKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TLinearKernel";
  const char* ClassName() const override { return StaticClassName; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 1.0f; }
};

// The raised cosine (cos(pi x) + 1) / 2 for |x| < 1; width 1.
class TCosineKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TCosineKernel";
  const char* ClassName() const override { return StaticClassName; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 1.0f; }
};

// The cubic B-spline: smooth, never negative, slightly blurring; width 2.
class TSplineKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TSplineKernel";
  const char* ClassName() const override { return StaticClassName; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 2.0f; }
};

// The interpolating cubic convolution with a = -0.5 (Catmull-Rom); width 2.
class TCubicKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TCubicKernel";
  const char* ClassName() const override { return StaticClassName; }
  bool NeedsClamp() const override { return true; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 2.0f; }
};

// The Mitchell-Netravali cubic with B = C = 1/3; width 2.
class TMitchellKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "TMitchellKernel";
  const char* ClassName() const override { return StaticClassName; }
  bool NeedsClamp() const override { return true; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 2.0f; }
};

// The cubic Hermite step 2|x|^3 - 3|x|^2 + 1 for |x| < 1; width 1.
class THermiteKernel : public TCustomKernel {
 public:
  static constexpr const char* StaticClassName = "THermiteKernel";
  const char* ClassName() const override { return StaticClassName; }
  float Filter(float Value) const override;
  float GetWidth() const override { return 1.0f; }
};

// sinc(x) = sin(pi x) / (pi x), weighted by a window that reaches 0 at the
// kernel's width (3 unless set otherwise).
class TWindowedSincKernel : public TCustomKernel {
 public:
  TWindowedSincKernel();
  bool NeedsClamp() const override { return true; }
  // sinc(|Value|) * WindowAt(|Value|) inside the width, 0 from the width on.
  float Filter(float Value) const override;
  float GetWidth() const override { return FWidth; }
  float Width() const { return FWidth; }
  float WidthReciprocal() const { return FWidthReciprocal; }
  // A width that is not a positive finite number is ignored.
  void SetWidth(float Value);
  virtual float WindowAt(float X) const = 0;

  static float Sinc(float X);

 protected:
  float FWidth;
  float FWidthReciprocal;
};

// The Lanczos window: sinc(x / width). With the width of 3, the kernel has
// three lobes on each side.
class TLanczosKernel : public TWindowedSincKernel {
 public:
  static constexpr const char* StaticClassName = "TLanczosKernel";
  const char* ClassName() const override { return StaticClassName; }
  float WindowAt(float X) const override;
  // Several values at a time in SSE2 or AVX2 lanes; the mapping tables ask
  // for thousands.
  void FilterMany(const float* Values, float* Results, size_t Count) const override;
};

// The kernel classes in registration order, filled by InitializeScaling.
const std::vector<TKernelClass>& KernelList();
// The first registered kernel class of exactly that name, or null.
const TKernelClass* FindKernelClass(std::string_view AClassName);

template <class TKernel>
TKernelClass KernelClassOf() {
  return TKernelClass{TKernel::StaticClassName,
                      []() -> std::unique_ptr<TCustomKernel> { return std::make_unique<TKernel>(); }};
}

}  // namespace quillet

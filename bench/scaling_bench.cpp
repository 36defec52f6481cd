// Timings of the thumbnail scaler: a comic page of 1988 x 3056 into the
// 256 box at 32 and at 24 bits per pixel, and a fourfold enlargement. The
// warm figures reuse the allocator's memory from call to call; the cold ones
// (ScalePage*Cold) give every call a freshly made page and fresh memory, as
// the one request of a thumbnailer process has. Run by hand:
// build/linux/quillet_bench --benchmark_filter=Scale
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

#include "platform_gdi.h"
#include "scaling/bitmap32.h"
#include "scaling/resample_engine.h"
#include "scaling/resamplers.h"
#include "scaling/scaling.h"

namespace {

// A bottom-up DIB with content that changes from pixel to pixel, as a
// decoded page would (premultiplied for 32 bits).
HBITMAP MakePage(int32_t width, int32_t height, int bitsPerPixel) {
  BITMAPINFO info;
  std::memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = static_cast<WORD>(bitsPerPixel);
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC dc = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  ReleaseDC(nullptr, dc);
  if (bitmap == nullptr) return nullptr;
  std::mt19937 random(1);
  const size_t stride = ((static_cast<size_t>(width) * bitsPerPixel + 31) & ~size_t{31}) / 8;
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = static_cast<uint8_t*>(bits) + stride * static_cast<size_t>(y);
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = row + static_cast<size_t>(x) * (bitsPerPixel / 8);
      const uint32_t noise = random();
      p[0] = static_cast<uint8_t>((x + (noise & 63)) & 255);
      p[1] = static_cast<uint8_t>((y + (noise >> 8 & 63)) & 255);
      p[2] = static_cast<uint8_t>(((x ^ y) + (noise >> 16 & 63)) & 255);
      if (bitsPerPixel == 32) p[3] = 255;
    }
  }
  return bitmap;
}

void RunScale(benchmark::State& state, int32_t width, int32_t height, int bits, int32_t boxW, int32_t boxH) {
  HBITMAP page = MakePage(width, height, bits);
  if (page == nullptr) {
    state.SkipWithError("no source bitmap");
    return;
  }
  // The first calls of a process pay for fresh pages of the surfaces, until
  // the allocator keeps memory of that size: timed apart, as "cold_ms".
  double coldMs = 0;
  for (int warmUp = 0; warmUp < 6; ++warmUp) {
    const auto start = std::chrono::steady_clock::now();
    HBITMAP thumbnail = quillet::ScaleBitmap(page, boxW, boxH);
    const auto end = std::chrono::steady_clock::now();
    if (warmUp == 0) coldMs = std::chrono::duration<double, std::milli>(end - start).count();
    if (thumbnail != nullptr) DeleteObject(thumbnail);
  }
  for (auto _ : state) {
    HBITMAP thumbnail = quillet::ScaleBitmap(page, boxW, boxH);
    if (thumbnail == nullptr) {
      state.SkipWithError("no thumbnail");
      break;
    }
    DeleteObject(thumbnail);
  }
  DeleteObject(page);
  state.counters["cold_ms"] = coldMs;
  switch (quillet::resample_engine::ActiveSimdLevel()) {
    case quillet::resample_engine::TSimdLevel::Avx2:
      state.SetLabel("AVX2");
      break;
    case quillet::resample_engine::TSimdLevel::Ssse3:
      state.SetLabel("SSSE3");
      break;
    default:
      state.SetLabel("SSE2");
  }
}

void ScalePage32IntoBox256(benchmark::State& state) {
  quillet::InitializeScaling();
  RunScale(state, 1988, 3056, 32, 256, 256);
}
void ScalePage24IntoBox256(benchmark::State& state) {
  quillet::InitializeScaling();
  RunScale(state, 1988, 3056, 24, 256, 256);
}
void ScaleEnlarge4x(benchmark::State& state) {
  quillet::InitializeScaling();
  RunScale(state, 256, 384, 32, 1024, 1536);
}

// One call on a page made just before it, with every large block of the call
// taken from the system afresh: a fixed mmap threshold stops the allocator
// from keeping freed blocks for the next call (registered last, since the
// setting holds for the rest of the process).
void RunScaleCold(benchmark::State& state, int bits) {
  quillet::InitializeScaling();
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  for (auto _ : state) {
    state.PauseTiming();
    HBITMAP page = MakePage(1988, 3056, bits);
    state.ResumeTiming();
    HBITMAP thumbnail = page != nullptr ? quillet::ScaleBitmap(page, 256, 256) : nullptr;
    state.PauseTiming();
    if (page != nullptr) DeleteObject(page);
    if (thumbnail == nullptr) {
      state.SkipWithError("no thumbnail");
      break;
    }
    DeleteObject(thumbnail);
    state.ResumeTiming();
  }
}
void ScalePage32IntoBox256Cold(benchmark::State& state) { RunScaleCold(state, 32); }
void ScalePage24IntoBox256Cold(benchmark::State& state) { RunScaleCold(state, 24); }

// The same page with the vector code held to a lower level, as on processors
// without AVX2.
void ScalePage32IntoBox256AtLevel(benchmark::State& state, quillet::resample_engine::TSimdLevel level) {
  quillet::InitializeScaling();
  quillet::resample_engine::SetActiveSimdLevel(level);
  RunScale(state, 1988, 3056, 32, 256, 256);
  quillet::InitializeScaling();
}
void ScalePage32IntoBox256Ssse3(benchmark::State& state) {
  ScalePage32IntoBox256AtLevel(state, quillet::resample_engine::TSimdLevel::Ssse3);
}
void ScalePage32IntoBox256Sse2(benchmark::State& state) {
  ScalePage32IntoBox256AtLevel(state, quillet::resample_engine::TSimdLevel::Sse2);
}

// The resampling alone (DrawTo), without reading the source or writing the
// output bitmap.
void ScaleDrawToOnly(benchmark::State& state) {
  quillet::InitializeScaling();
  quillet::TBitmap32 source, target;
  source.SetSize(1988, 3056);
  std::mt19937 random(2);
  for (int32_t i = 0; i < 1988 * 3056; ++i) source.Bits()[i] = random() | 0xFF000000u;
  source.SetDrawMode(quillet::dmBlend);
  source.SetResamplerClassName("TKernelResampler");
  dynamic_cast<quillet::TKernelResampler&>(source.Resampler()).SetKernelClassName("TLanczosKernel");
  target.SetSize(167, 256);
  for (auto _ : state) {
    target.Clear(0);
    source.DrawTo(&target, target.BoundsRect(), source.BoundsRect());
  }
}

}  // namespace

BENCHMARK(ScalePage32IntoBox256)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScalePage24IntoBox256)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScaleEnlarge4x)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScalePage32IntoBox256Ssse3)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScalePage32IntoBox256Sse2)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScaleDrawToOnly)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(ScalePage32IntoBox256Cold)->Unit(benchmark::kMillisecond)->Iterations(15);
BENCHMARK(ScalePage24IntoBox256Cold)->Unit(benchmark::kMillisecond)->Iterations(15);

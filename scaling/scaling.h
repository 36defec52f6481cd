#pragma once
// The thumbnail scaler as the rest of the module sees it.
#include <cstdint>

#include "platform_gdi.h"

namespace quillet {

// Fills the resampler and kernel class registries and chooses the vector code
// for this processor (the blends need no table: their constants live in
// registers). Called once at module start, before any request; harmless when
// repeated. Without it ScaleBitmap finds no Lanczos resampler and makes no
// thumbnail.
void InitializeScaling();
// Empties the registries again at module shut-down.
void FinalizeScaling();

// A new top-down bitmap of 32 bits per pixel (24 for a source of any other
// depth) that fits the box with the source's aspect ratio kept, or null when
// no thumbnail can be made. The source bitmap is neither changed nor freed.
HBITMAP ScaleBitmap(HBITMAP ABitmap, int32_t AMaxWidth, int32_t AMaxHeight);

}  // namespace quillet

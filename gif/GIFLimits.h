// Size limits of the GIF reader and the LZW code sizes, in one place. The frame loading checks
// the pixel limits once per frame (CheckFramePixels) before it allocates the frame's buffer.
#pragma once

#include <cstdint>

namespace mv {

// LZW codes of GIF image data are at most 12 bits wide, so the string tables of the decoder and
// the encoders have 4096 entries.
inline constexpr int32_t MaxLZWCodeBits = 12;
inline constexpr int32_t LZWTableSize = 1 << MaxLZWCodeBits;
// The clear code is 1 shl (minimum code size) and must itself be a code below 4096 with room
// for the end code: a minimum code size above 11 cannot be decoded and is refused.
inline constexpr int32_t MaxLZWMinCodeSize = 11;

// Settable limits against decompression bombs: a few bytes of file can declare a 65535 x 65535
// frame (4 GiB). Tests and embedders may lower or raise them; the reader reads them at each
// check.
struct TGIFSizeLimits {
    // Largest frame: 2^28 pixels (16384 x 16384), one byte each, far beyond any seal scan.
    int64_t MaxFramePixels = int64_t{1} << 28;
    // All frames of one load together: 2^30 pixel bytes (1 GiB), so a long animation of large
    // frames cannot exhaust memory either.
    int64_t MaxLoadPixelBytes = int64_t{1} << 30;
};
inline TGIFSizeLimits GIFSizeLimits;

// The one check: raises GIFException "Image exceeds maximum size" when a Width x Height frame
// passes MaxFramePixels, or when LoadedSoFar plus its pixels passes MaxLoadPixelBytes.
// Otherwise adds the frame's pixels to LoadedSoFar.
void CheckFramePixels(int64_t Width, int64_t Height, int64_t& LoadedSoFar);

} // namespace mv

// JPEG pictures: decoding through libjpeg (API 62) and the platform's JPEG graphic.
#pragma once

#include "platform/Classes.h"

#include <cstddef>
#include <cstdint>

namespace mv {

// libjpeg's errors, with libjpeg's own message text.
class EJPEG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
    std::string ClassName() const override { return "EJPEG"; }
};

// Limits on what a JPEG may make us allocate. JPEG compresses a flat picture to a few bits
// per 8 x 8 block, so a small file can claim a huge picture: beyond MaxJPEGFreePixels we
// require at least one byte of file per MaxJPEGPixelsPerByte pixels.
constexpr int64_t MaxJPEGPixels = int64_t(1) << 28;     // 256 M pixels, 768 MB at 24 bits
constexpr int64_t MaxJPEGFreePixels = int64_t(1) << 24; // 16 M pixels whatever the file size
constexpr int64_t MaxJPEGPixelsPerByte = 1024;
constexpr int MaxJPEGScans = 1000; // progressive files with more scans are refused (scan bombs)

// The colors of an indexed decode: at most this many, as the platform's 8-bit displays keep
// 20 entries for the system.
constexpr int JPEGPaletteColors = 236;

struct TJPEGHeader {
    int Width = 0;
    int Height = 0;
    int Components = 0;
    bool Grayscale = false;
    bool Progressive = false;
};

// Reads the header of the JPEG data; raises EJPEG for data libjpeg cannot read and
// EInvalidGraphic for a size over the limits above.
TJPEGHeader ReadJPEGHeader(const uint8_t* Data, size_t Size);

enum class TJPEGOutput {
    BGR24,   // rows of blue, green, red bytes
    Indexed8 // rows of color indices into Palette
};

struct TJPEGDecodeResult {
    int PaletteCount = 0;         // Indexed8: the colors the quantizer chose
    uint8_t Palette[256][3] = {}; // red, green, blue
    int Warnings = 0;             // libjpeg's warnings (a truncated file gives one)
};

// Decodes the whole picture at scale 1/1 with the floating-point inverse DCT, fancy
// upsampling and block smoothing, straight into Rows (Height row pointers, row 0 the top;
// each row Width * 3 bytes for BGR24, Width bytes for Indexed8). Width and Height must be
// the header's. Indexed8 uses libjpeg's two-pass quantizer with Floyd-Steinberg dithering
// (libjpeg's one-pass quantizer for four-component pictures, which the two-pass one cannot
// take). A file that ends early gives the partial picture and a warning.
void DecodeJPEG(const uint8_t* Data, size_t Size, TJPEGOutput Output, int Width, int Height,
                uint8_t* const* Rows, TJPEGDecodeResult& Result);

} // namespace mv

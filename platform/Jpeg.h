// JPEG pictures: decoding through libjpeg (API 62) and the platform's JPEG graphic.
#pragma once

#include "platform/Classes.h"
#include "platform/Graphics.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

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
    int Rows = 0;                 // rows written, from the top (all of them unless it failed)
};

// Decodes the whole picture at scale 1/1 with the floating-point inverse DCT, fancy
// upsampling and block smoothing, straight into Rows (Height row pointers, row 0 the top;
// each row Width * 3 bytes for BGR24, Width bytes for Indexed8). Width and Height must be
// the header's. Indexed8 uses libjpeg's two-pass quantizer with Floyd-Steinberg dithering
// (libjpeg's one-pass quantizer for four-component pictures, which the two-pass one cannot
// take). A file that ends early gives the partial picture and a warning.
void DecodeJPEG(const uint8_t* Data, size_t Size, TJPEGOutput Output, int Width, int Height,
                uint8_t* const* Rows, TJPEGDecodeResult& Result);

// Receives decoded rows in order from the top: Row is the row's number, BGR its Width * 3
// bytes (blue, green, red), valid only during the call.
using TJPEGRowSink = std::function<void(int Row, const uint8_t* BGR)>;

// Decodes as DecodeJPEG does for BGR24, but hands each row to Sink through a buffer of a few
// rows instead of writing the whole picture: the picture is never held at once. Every row
// reaches Sink; rows past a failure of the data (which DecodeJPEG leaves to its caller) come
// as black rows. An exception from Sink stops the decode and passes on.
void DecodeJPEGRows(const uint8_t* Data, size_t Size, int Width, int Height,
                    const TJPEGRowSink& Sink, TJPEGDecodeResult& Result);

// The platform's JPEG graphic. LoadFromStream keeps the file's bytes and reads the size from
// the header; the picture is decoded when it is first needed (Bitmap, Draw, AssignTo, the
// palette): a 24-bit bitmap on a screen of more than 8 bits per pixel, otherwise an 8-bit
// bitmap of at most 236 colors. SaveToStream writes the bytes as they were read.
class TJPEGImage : public TGraphic {
public:
    TJPEGImage() = default;
    ~TJPEGImage() override;
    TJPEGImage(const TJPEGImage&) = delete;
    TJPEGImage& operator=(const TJPEGImage&) = delete;
    MV_GRAPHIC_CLASS(TJPEGImage)

    void LoadFromStream(TStream& Stream) override;
    void SaveToStream(TStream& Stream) override;
    using TGraphic::LoadFromFile;

    bool GetEmpty() const override { return FData.empty(); }
    int32_t GetWidth() const override { return FHeader.Width; }
    int32_t GetHeight() const override { return FHeader.Height; }
    // A JPEG's size is that of its picture: raises EInvalidGraphicOperation.
    void SetWidth(int32_t Value) override;
    void SetHeight(int32_t Value) override;
    // The decoded bitmap's palette (8-bit decodes), none for 24-bit ones.
    HPALETTE GetPalette() override;
    bool Equals(TGraphic* Graphic) override;

    // Draws the decoded picture stretched into Rect.
    void Draw(TCanvas& ACanvas, const TRect& Rect) override;
    // CF_BITMAP with the decoded picture; a JPEG cannot be loaded from the clipboard
    // (EInvalidGraphic).
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) override;
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) override;
    // From another JPEG image: its bytes (decoded again when needed); else the platform's.
    void Assign(TPersistent* Source) override;
    // To a TBitmap: the decoded bitmap; else the platform's conversion error.
    void AssignTo(TPersistent* Dest) override;

    // The decoded picture, made on first use; null when the image is empty. The image owns it.
    TBitmap* Bitmap();
    // Drops the decoded picture (the next use decodes again, for the screen of that time).
    void FreeBitmap();
    // Whether the picture is decoded (Bitmap has been made and not freed since).
    bool Decoded() const { return FBitmap != nullptr; }
    const TJPEGHeader& Header() const { return FHeader; }
    const std::vector<uint8_t>& Data() const { return FData; }
    // libjpeg's warnings of the last decode (a truncated file gives one).
    int Warnings() const { return FWarnings; }

private:
    std::vector<uint8_t> FData;
    TJPEGHeader FHeader;
    std::unique_ptr<TBitmap> FBitmap;
    int FWarnings = 0;
};

// Registers "jpeg" and "jpg" ("JPEG Image File") with the picture framework. The formats
// must follow the GIF format in the framework's lists, so the GIF library's start-up calls
// this after registering "gif"; a program without it calls this itself. Calling it again
// while they are registered for TJPEGImage does nothing.
void RegisterJPEGFormats();

} // namespace mv

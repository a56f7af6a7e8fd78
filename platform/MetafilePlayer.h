// Reading and playing ".emf" (enhanced) and ".wmf" (Windows, placeable or plain) metafiles
// onto our rasterizer. The header readers check the whole record chain once, so a damaged
// file is refused when it is loaded; playback then checks every count and offset again
// within each record and skips what does not fit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Raster.h"

namespace mv::metafile {

// Pictures larger than this are refused: whoever draws one allocates a bitmap of this size.
constexpr int32_t kMaxPictureSide = 32767;              // pixels, the 16-bit limit of our frames
constexpr int64_t kMaxPictureArea = 64LL * 1024 * 1024; // pixels: 192 MB as a 24-bit bitmap
// Playback stops after this many records (a bound on time for files of many tiny records).
constexpr uint32_t kMaxPlayedRecords = 4'000'000;
// Work budget of one playback, in units of edge-rows and pixels written: this many units per
// pixel of the target rectangle's visible part, plus a fixed allowance.
constexpr uint64_t kWorkPerTargetPixel = 64;
constexpr uint64_t kWorkAllowance = 32ULL * 1024 * 1024;

enum TMetafileKind { mkNone, mkEnhanced, mkWindows };

struct TMetafileInfo {
    TMetafileKind Kind = mkNone;
    int32_t Width = 0, Height = 0; // pixels at 96 pixels per inch
    size_t Size = 0;               // bytes of the picture (an EMF's trailing bytes excluded)
    // Enhanced: the header's fields.
    int32_t BoundsLeft = 0, BoundsTop = 0, BoundsRight = 0, BoundsBottom = 0; // device pixels
    int32_t FrameLeft = 0, FrameTop = 0, FrameRight = 0, FrameBottom = 0;     // 0.01 mm
    int32_t DeviceWidth = 0, DeviceHeight = 0;     // reference device, pixels
    int32_t DeviceWidthMM = 0, DeviceHeightMM = 0; // reference device, millimetres
    uint16_t Handles = 0;                          // object table size (EMF and WMF)
    uint32_t Records = 0;                          // number of records up to the end record
    // Windows: placeable header, and the plain kind's window.
    bool Placeable = false;
    int16_t BoxLeft = 0, BoxTop = 0, BoxRight = 0, BoxBottom = 0; // placeable, logical units
    uint16_t UnitsPerInch = 0;
    bool HasWindow = false; // a window origin/extent record appears before any drawing
    int32_t WindowOrgX = 0, WindowOrgY = 0, WindowExtX = 0, WindowExtY = 0;
    size_t FirstRecord = 0; // offset of the first record after the header(s)
};

// True when the bytes start like an enhanced or a Windows metafile.
bool LooksLikeMetafile(const uint8_t* Data, size_t Size);
// Reads the header and walks the record chain; raises EInvalidGraphic naming what is wrong.
TMetafileInfo ReadMetafileInfo(const uint8_t* Data, size_t Size);

// Plays the picture onto Target so that its frame fills the device rectangle from
// (Left, Top) to (Right, Bottom) (a reversed pair mirrors); nothing outside that rectangle
// or the rasterizer's clip is touched. Damaged records are skipped; never throws for bad
// record contents.
void PlayMetafile(const uint8_t* Data, const TMetafileInfo& Info, raster::TRasterizer& Target,
                  double Left, double Top, double Right, double Bottom);

} // namespace mv::metafile

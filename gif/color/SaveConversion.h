// The conversion of the save-as-GIF command, shared by the window and the command line: large
// pictures scaled down to 640 pixels wide through an 8-bit halftone bitmap, then the picture
// (scaled or not) made into a GIF image.
#pragma once

#include "gif/GIFImage.h"
#include "platform/Graphics.h"

#include <cstdint>
#include <memory>

namespace mv {

// Pictures this wide or high (or more) are scaled to ResizeWidth pixels wide when saved with
// auto resize on.
constexpr int32_t ResizeThreshold = 700;
constexpr int32_t ResizeWidth = 640;

// Whether a W x H picture is scaled when auto resize is on (either side 700 or more).
constexpr bool QualifiesForResize(int32_t W, int32_t H) {
    return W >= ResizeThreshold || H >= ResizeThreshold;
}

// The height a W x H picture gets at NewWidth pixels wide: (H x NewWidth) div W, truncated,
// at least 1. Raises EInvalidGraphic for a picture without width.
int32_t ScaledHeight(int32_t W, int32_t H, int32_t NewWidth);

// Source scaled to NewWidth x NewHeight as a new 8-bit bitmap with the halftone palette, rows
// and columns dropped or repeated (COLORONCOLOR, no averaging), each color mapped to its
// nearest palette entry.
std::unique_ptr<TBitmap> ResizeBitmap(TBitmap& Source, int32_t NewWidth, int32_t NewHeight);

// Reads a bitmap from Source and writes it to Dest scaled as ResizeBitmap scales it (the
// 8-bit bitmap in bitmap-file format).
void ResizeBitmapStream(TStream& Source, TStream& Dest, int32_t NewWidth, int32_t NewHeight);

// The down-scaling step of the save command: with AutoResize and a picture qualifying, the
// picture as a bitmap (what assigning it to a TBitmap gives; icons and metafiles refuse with
// EConvertError "Cannot assign a ... to a TBitmap") scaled to ResizeWidth x ScaledHeight.
// Null when the picture keeps its size. A JPEG image not decoded yet is decoded keeping only
// the rows the stretch takes, which gives the same bitmap.
std::unique_ptr<TBitmap> DownscaleForSave(TGraphic* Graphic, bool AutoResize);

// Assigns Graphic to GIF as the save command does (a one-frame GIF of a picture, a copy of a
// GIF image). A JPEG image is imported from its decoded bitmap in place, which gives the same
// frame as the copy its assignment would make; one not decoded yet that the image reduces to
// the 216-color cube is reduced row by row as it is decoded, which gives the same frame again
// without holding the full-color picture.
void AssignForSave(TGIFImage& GIF, TGraphic* Graphic);

} // namespace mv

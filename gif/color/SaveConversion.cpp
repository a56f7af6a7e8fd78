#include "gif/color/SaveConversion.h"

#include "platform/Jpeg.h"
#include "platform/SysUtils.h"

#include <limits>

namespace mv {

int32_t ScaledHeight(int32_t W, int32_t H, int32_t NewWidth) {
    if (W <= 0)
        throw EInvalidGraphic(
            Format("A picture of %d x %d pixels has no width to scale from", W, H));
    // The product is taken in 64 bits: a 32-bit one overflows past 3355443 rows.
    int64_t NH = int64_t{H} * NewWidth / W;
    if (NH > std::numeric_limits<int32_t>::max())
        throw EInvalidGraphic(Format("A picture of %d x %d pixels would be %lld pixels high at "
                                     "%d pixels wide",
                                     W, H, static_cast<long long>(NH), NewWidth));
    // A wide strip still keeps one row.
    return static_cast<int32_t>(std::max<int64_t>(NH, 1));
}

std::unique_ptr<TBitmap> ResizeBitmap(TBitmap& Source, int32_t NewWidth, int32_t NewHeight) {
    auto C = std::make_unique<TBitmap>();
    C->SetWidth(NewWidth);
    C->SetHeight(NewHeight);
    C->SetPixelFormat(pf8bit); // an 8-bit DIB with the halftone palette
    SetStretchBltMode(C->Canvas().Handle(), COLORONCOLOR);
    StretchBlt(C->Canvas().Handle(), 0, 0, C->Width(), C->Height(), Source.Canvas().Handle(), 0, 0,
               Source.Width(), Source.Height(), SRCCOPY);
    return C;
}

void ResizeBitmapStream(TStream& Source, TStream& Dest, int32_t NewWidth, int32_t NewHeight) {
    TBitmap A;
    A.LoadFromStream(Source);
    ResizeBitmap(A, NewWidth, NewHeight)->SaveToStream(Dest);
}

namespace {

// The decoded bitmap of a JPEG image (what its assignment to a bitmap copies), or null.
TBitmap* DecodedBitmap(TGraphic* Graphic) {
    auto* J = dynamic_cast<TJPEGImage*>(Graphic);
    return J ? J->Bitmap() : nullptr;
}

} // namespace

std::unique_ptr<TBitmap> DownscaleForSave(TGraphic* Graphic, bool AutoResize) {
    if (!AutoResize || !Graphic) return nullptr;
    const int32_t W = Graphic->Width(), H = Graphic->Height();
    if (!QualifiesForResize(W, H)) return nullptr;
    const int32_t NH = ScaledHeight(W, H, ResizeWidth);
    // Bitmaps and decoded JPEG images are read where they are, not copied first.
    TBitmap* Source = dynamic_cast<TBitmap*>(Graphic);
    if (!Source) Source = DecodedBitmap(Graphic);
    if (Source) return ResizeBitmap(*Source, ResizeWidth, NH);
    TBitmap B;
    B.Assign(Graphic); // renders the picture; icons and metafiles refuse
    return ResizeBitmap(B, ResizeWidth, NH);
}

void AssignForSave(TGIFImage& GIF, TGraphic* Graphic) {
    if (TBitmap* Decoded = DecodedBitmap(Graphic))
        GIF.Assign(Decoded);
    else
        GIF.Assign(Graphic);
}

} // namespace mv

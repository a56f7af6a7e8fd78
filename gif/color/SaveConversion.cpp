#include "gif/color/SaveConversion.h"

#include "gif/color/Ditherers.h"
#include "gif/color/Reduction.h"
#include "platform/Jpeg.h"
#include "platform/SysUtils.h"

#include <cstring>
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

// Whether a JPEG image can go to the 216-color cube while it is decoded: its decoded bitmap
// would be 24 bits (a screen of more than 8 bits per pixel), it is not decoded yet (else that
// bitmap is used as it is), and the image reduces to the cube.
bool ReducesWhileDecoding(const TGIFImage& GIF, TJPEGImage* J) {
    return J && !J->Empty() && !J->Decoded() && ScreenBitsPerPixel() > 8 &&
           GIF.ReductionMethod == rdNetscape216;
}

// The JPEG image decoded row by row straight onto the cube with the image's ditherer: the
// 8-bit bitmap the color reduction makes from its 24-bit decode (the same color table of 256
// entries, the cube's 216 and black, the same indices), without the 24-bit picture ever being
// held. Null when the dither kind is none the ditherers know.
std::unique_ptr<TBitmap> DecodeOntoCube(TJPEGImage& J, TDitherKind Kind) {
    const int32_t W = J.Width(), H = J.Height();
    TNetscapeColorLookup Lookup;
    std::unique_ptr<TDitherEngine> Ditherer = CreateDitherer(Kind, W, &Lookup);
    if (!Ditherer) return nullptr;

    auto Image = std::make_shared<TBitmapObject>();
    Image->DIB = true;
    Image->Allocate(W, H, 8, false); // every row is written below
    Image->ColorTable.assign(256, RGBQUAD{0, 0, 0, 0});
    {
        HPALETTE Cube = BuildNetscape216Palette();
        TPaletteEntry Entries[256];
        const uint32_t Count = GetPaletteEntries(Cube, 0, 256, Entries);
        DeleteObject(Cube);
        for (uint32_t i = 0; i < Count; ++i)
            Image->ColorTable[i] = {Entries[i].peBlue, Entries[i].peGreen, Entries[i].peRed, 0};
    }
    const size_t Used = static_cast<size_t>(W), Stride = static_cast<size_t>(Image->Stride);
    TJPEGDecodeResult Result;
    DecodeJPEGRows(
        J.Data().data(), J.Data().size(), W, H,
        [&](int Row, const uint8_t* BGR) {
            uint8_t* Target = Image->Row(Row);
            Ditherer->DitherRow(BGR, Target);
            Ditherer->StartNextRow();
            std::memset(Target + Used, 0, Stride - Used);
        },
        Result);
    auto B = std::make_unique<TBitmap>();
    B->SetHandle(Image);
    return B;
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
    auto* J = dynamic_cast<TJPEGImage*>(Graphic);
    if (ReducesWhileDecoding(GIF, J)) {
        if (std::unique_ptr<TBitmap> Reduced = DecodeOntoCube(*J, GIF.DitherKind)) {
            GIF.Assign(Reduced.get());
            return;
        }
    }
    if (TBitmap* Decoded = DecodedBitmap(Graphic))
        GIF.Assign(Decoded);
    else
        GIF.Assign(Graphic);
}

} // namespace mv

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
    const std::vector<TLookupEntry> Cube = Netscape216Entries();
    for (size_t i = 0; i < Cube.size(); ++i)
        Image->ColorTable[i] = {Cube[i].Blue, Cube[i].Green, Cube[i].Red, 0};
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

// The source row each of NewHeight rows takes when H rows are stretched to NewHeight with
// dropped or repeated rows: asked of the stretch itself, on a one-pixel-wide picture whose
// row r has the color r. Empty when the answer is not rows in order from the top.
std::vector<int32_t> StretchedRows(int32_t H, int32_t NewHeight) {
    auto ProbeImage = std::make_shared<TBitmapObject>();
    ProbeImage->DIB = true;
    ProbeImage->Allocate(1, H, 24);
    for (int32_t r = 0; r < H; ++r) {
        uint8_t* P = ProbeImage->Row(r);
        P[0] = static_cast<uint8_t>(r), P[1] = static_cast<uint8_t>(r >> 8);
        P[2] = static_cast<uint8_t>(r >> 16);
    }
    auto OutImage = std::make_shared<TBitmapObject>();
    OutImage->DIB = true;
    OutImage->Allocate(1, NewHeight, 24);
    TBitmap Probe, Out;
    Probe.SetHandle(ProbeImage);
    Out.SetHandle(OutImage);
    SetStretchBltMode(Out.Canvas().Handle(), COLORONCOLOR);
    StretchBlt(Out.Canvas().Handle(), 0, 0, 1, NewHeight, Probe.Canvas().Handle(), 0, 0, 1, H,
               SRCCOPY);
    std::vector<int32_t> Rows(static_cast<size_t>(NewHeight));
    for (int32_t y = 0; y < NewHeight; ++y) {
        const uint8_t* P = OutImage->Row(y);
        const int32_t r = P[0] | P[1] << 8 | P[2] << 16;
        if (r >= H || (y > 0 && r < Rows[static_cast<size_t>(y) - 1])) return {};
        Rows[static_cast<size_t>(y)] = r;
    }
    return Rows;
}

// A JPEG image not decoded yet, made smaller in height, decoded row by row into only the rows
// the stretch takes (full width, in their stretched places), which are then stretched across
// as the whole picture would be: the same 8-bit bitmap, without the full-size picture ever
// being held. Null when this cannot be done (the picture grows in height, an 8-bit decode).
std::unique_ptr<TBitmap> DecodeSampledRows(TJPEGImage* J, int32_t NewHeight) {
    if (!J || J->Empty() || J->Decoded() || ScreenBitsPerPixel() <= 8) return nullptr;
    const int32_t W = J->Width(), H = J->Height();
    if (NewHeight > H) return nullptr;
    const std::vector<int32_t> Rows = StretchedRows(H, NewHeight);
    if (Rows.empty()) return nullptr;

    auto Image = std::make_shared<TBitmapObject>();
    Image->DIB = true;
    Image->Allocate(W, NewHeight, 24, false); // every row is written below
    const size_t Used = static_cast<size_t>(W) * 3, Stride = static_cast<size_t>(Image->Stride);
    size_t Next = 0;
    TJPEGDecodeResult Result;
    DecodeJPEGRows(
        J->Data().data(), J->Data().size(), W, H,
        [&](int Row, const uint8_t* BGR) {
            for (; Next < Rows.size() && Rows[Next] == Row; ++Next) {
                uint8_t* Target = Image->Row(static_cast<int32_t>(Next));
                std::memcpy(Target, BGR, Used);
                std::memset(Target + Used, 0, Stride - Used);
            }
        },
        Result);
    TBitmap Sampled;
    Sampled.SetHandle(Image);
    return ResizeBitmap(Sampled, ResizeWidth, NewHeight);
}

} // namespace

std::unique_ptr<TBitmap> DownscaleForSave(TGraphic* Graphic, bool AutoResize) {
    if (!AutoResize || !Graphic) return nullptr;
    const int32_t W = Graphic->Width(), H = Graphic->Height();
    if (!QualifiesForResize(W, H)) return nullptr;
    const int32_t NH = ScaledHeight(W, H, ResizeWidth);
    if (auto Small = DecodeSampledRows(dynamic_cast<TJPEGImage*>(Graphic), NH)) return Small;
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

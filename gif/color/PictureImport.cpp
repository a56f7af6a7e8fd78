#include "gif/color/PictureImport.h"

#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"
#include "gif/color/Reduction.h"
#include "platform/Icon.h"
#include "platform/Metafile.h"
#include "platform/SysUtils.h"

#include <cstring>

namespace mv {

namespace {

const TRect NoRect{0, 0, 0, 0};

// A GIF frame's size is two 16-bit fields.
constexpr int32_t MaxFrameSide = 65535;

bool IsIndexed(TPixelFormat Format) {
    return Format == pf1bit || Format == pf4bit || Format == pf8bit;
}

} // namespace

void TPictureImport::Report(TProgressStage Stage, uint8_t Percent, bool Redraw) {
    if (TGIFImage* Image = FFrame.Image())
        Image->Progress(&FFrame, Stage, Percent, Redraw, NoRect, gifmsg::Converting);
}

void TPictureImport::ReportRow(int32_t Row, int32_t Height) {
    if (Row % 32 == 0) Report(psRunning, static_cast<uint8_t>(MulDiv(Row, 100, Height)), false);
}

bool TPictureImport::PaletteModified() const {
    TGIFImage* Image = FFrame.Image();
    return Image && Image->PaletteModified();
}

void TPictureImport::Assign(TPersistent* Source) {
    if (auto* Bitmap = dynamic_cast<TBitmap*>(Source)) {
        ImportBitmap(Bitmap);
    } else if (auto* Graphic = dynamic_cast<TGraphic*>(Source)) {
        ImportGraphic(Graphic);
    } else if (auto* Picture = dynamic_cast<TPicture*>(Source)) {
        FFrame.Assign(Picture->Graphic());
    } else {
        // Lets the source assign itself; otherwise EConvertError naming both classes.
        FFrame.TGIFItem::Assign(Source);
    }
}

// ---------------------------------------------------------------------------
// Bitmaps

void TPictureImport::ImportBitmap(TBitmap* Source) {
    // The frame's own rendering as the source: emptying the frame would free it, so it is
    // kept aside until the import is done.
    std::unique_ptr<TBitmap> OwnRendering;
    if (Source == FFrame.FRendered.get()) OwnRendering = std::move(FFrame.FRendered);
    FFrame.MakeEmpty();
    if (Source->Empty()) return;
    const int32_t W = Source->Width(), H = Source->Height();
    // Truncating the size to 16 bits would import a different picture: refuse it instead.
    if (W > MaxFrameSide || H > MaxFrameSide)
        throw EInvalidGraphic(Format("A picture of %d x %d pixels is larger than a GIF frame "
                                     "can hold (%d x %d)",
                                     W, H, MaxFrameSide, MaxFrameSide));
    // The frame keeps no palette of its own while it is filled: every change of the local
    // map then leaves the rendering alone.
    FFrame.SetPaletteHandle(nullptr);
    FFrame.SetWidth(static_cast<uint16_t>(W));
    FFrame.SetHeight(static_cast<uint16_t>(H));

    if (IsIndexed(Source->PixelFormat())) {
        // Indices and palette pass through unchanged.
        FFrame.NewRendering();
        FFrame.FRendered->Assign(Source);
    } else {
        TGIFImage* Image = FFrame.Image();
        FFrame.FRendered =
            ReduceToPalette(Source, Image ? Image->ReductionMethod : GIFDefaultReductionMethod,
                            Image ? Image->DitherKind : GIFDefaultDitherKind,
                            Image ? Image->PaletteBits : 8, nullptr);
    }
    TPixelFormat Format = FFrame.FRendered->PixelFormat();
    FFrame.AllocatePixels();

    Report(psStarting, 0, false);
    try {
        if (!IsIndexed(Format)) Format = pf24bit;
        {
            TDIBReader Reader(FFrame.FRendered.get(), Format);
            switch (Format) {
            case pf1bit:
                ImportRows1(Reader);
                break;
            case pf4bit:
                ImportRows4(Reader);
                break;
            case pf8bit:
                ImportRows8(Reader);
                break;
            default:
                ImportRows24(Reader);
                break;
            }
        }
        if (Source->Transparent()) ApplyMaskHandle(Source->MaskHandle());
    } catch (...) {
        Report(psEnding, 0, PaletteModified());
        throw;
    }
    Report(psEnding, 100, PaletteModified());
}

void TPictureImport::ImportRows8(TDIBReader& Reader) {
    TBitmap& Rendered = *FFrame.FRendered;
    if (Rendered.HandleType() == bmDDB)
        FFrame.FLocalMap->FromPalette(Rendered.Palette());
    else
        FFrame.FLocalMap->FromDCColorTable(Rendered.Canvas().Handle());
    const int32_t W = FFrame.Width(), H = FFrame.Height();
    uint8_t* Dest = FFrame.FIndexData.get();
    for (int32_t Y = 0; Y < H; ++Y) {
        ReportRow(Y, H);
        std::memcpy(Dest, Reader.RowAddress(Y), static_cast<size_t>(W));
        Dest += W;
    }
}

void TPictureImport::ImportRows4(TDIBReader& Reader) {
    FFrame.FLocalMap->FromPalette(FFrame.FRendered->Palette());
    const int32_t W = FFrame.Width(), H = FFrame.Height();
    uint8_t* Dest = FFrame.FIndexData.get();
    for (int32_t Y = 0; Y < H; ++Y) {
        ReportRow(Y, H);
        const auto* Src = static_cast<const uint8_t*>(Reader.RowAddress(Y));
        for (int32_t X = 0; X + 1 < W; X += 2, ++Src) {
            *Dest++ = *Src >> 4;
            *Dest++ = *Src & 0x0F;
        }
        // An odd width uses the high nibble of the last byte only.
        if (W & 1) *Dest++ = *Src >> 4;
    }
}

void TPictureImport::ImportRows1(TDIBReader& Reader) {
    FFrame.FLocalMap->FromPalette(FFrame.FRendered->Palette());
    const int32_t W = FFrame.Width(), H = FFrame.Height();
    uint8_t* Dest = FFrame.FIndexData.get();
    for (int32_t Y = 0; Y < H; ++Y) {
        ReportRow(Y, H);
        const auto* Src = static_cast<const uint8_t*>(Reader.RowAddress(Y));
        for (int32_t X = 0; X < W; ++X) *Dest++ = (Src[X >> 3] >> (7 - (X & 7))) & 1;
    }
}

void TPictureImport::ImportRows24(TDIBReader& Reader) {
    // The recent colors: key (blue | green << 8 | red << 16) and map index, -1 = empty.
    uint32_t Keys[8] = {};
    int32_t Indices[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    int Current = 0;
    TGIFColorMap& Map = *FFrame.FLocalMap;
    const int32_t W = FFrame.Width(), H = FFrame.Height();
    uint8_t* Dest = FFrame.FIndexData.get();
    for (int32_t Y = 0; Y < H; ++Y) {
        ReportRow(Y, H);
        const auto* Src = static_cast<const uint8_t*>(Reader.RowAddress(Y));
        for (int32_t X = 0; X < W; ++X, Src += 3) {
            const uint32_t Key = uint32_t{Src[0]} | uint32_t{Src[1]} << 8 | uint32_t{Src[2]} << 16;
            int Slot = Current;
            int32_t Found = -1;
            do {
                if (Indices[Slot] < 0) break;
                if (Keys[Slot] == Key) {
                    Found = Indices[Slot];
                    Current = Slot;
                    break;
                }
                Slot = (Slot + 7) & 7;
            } while (Slot != Current);
            if (Found < 0) {
                // Stored blue, green, red for now; swapped below.
                Found = Map.FindOrAppend(static_cast<TColor>(Key));
                Current = (Current + 1) & 7;
                Keys[Current] = Key;
                Indices[Current] = Found;
            }
            *Dest++ = static_cast<uint8_t>(Found);
        }
    }
    // Every entry from blue, green, red to red, green, blue; the indices stay valid.
    const int32_t N = Map.Count();
    if (N == 0) return;
    RGBQUAD Quads[256];
    const uint8_t* T = Map.Triples();
    for (int32_t i = 0; i < N; ++i, T += 3)
        Quads[i] = RGBQUAD{/*rgbBlue*/ T[0], /*rgbGreen*/ T[1], /*rgbRed*/ T[2], 0};
    Map.FromRGBQuads(Quads, N);
}

// ---------------------------------------------------------------------------
// Masks

void TPictureImport::ApplyTransparencyMask(TBitmap& Mask) {
    TGIFColorMap& Map = *FFrame.FLocalMap;
    Map.Compact();
    if (Map.Count() == 0 || Map.Count() == 256) return;
    const int32_t Transparent = Map.Append(clBlack);
    bool Any = false;
    {
        TDIBReader Reader(&Mask, pf8bit);
        // A mask smaller than the frame leaves the rest opaque.
        const int32_t W = std::min<int32_t>(FFrame.Width(), Mask.Width());
        const int32_t H = std::min<int32_t>(FFrame.Height(), Mask.Height());
        for (int32_t Y = 0; Y < H; ++Y) {
            const auto* M = static_cast<const uint8_t*>(Reader.RowAddress(Y));
            uint8_t* Dest = FFrame.FIndexData.get() + static_cast<size_t>(Y) * FFrame.Width();
            for (int32_t X = 0; X < W; ++X)
                if (M[X] != 0) {
                    Dest[X] = static_cast<uint8_t>(Transparent);
                    Any = true;
                }
        }
    }
    if (!Any) {
        Map.DeleteAt(Transparent);
        return;
    }
    auto Control = std::make_unique<TGIFGraphicControlExtension>(&FFrame);
    Control->SetUsesTransparency(true);
    Control->SetTransparentSlot(static_cast<uint8_t>(Transparent));
    FFrame.FExtensionList->Append(std::move(Control));
}

void TPictureImport::ApplyMaskHandle(const HBITMAP& Mask) {
    if (!Mask) return;
    TBitmap Wrapper;
    Wrapper.SetHandle(Mask);
    // The wrapper gives the handle back on every path, so its owner keeps it as it was (a
    // conversion to 8 bits gives the wrapper an object of its own).
    struct TRelease {
        TBitmap& B;
        ~TRelease() { B.ReleaseHandle(); }
    } Release{Wrapper};
    ApplyTransparencyMask(Wrapper);
}

void TPictureImport::ApplyIconMask(TIcon* Icon) {
    TIconInfo Info;
    if (!GetIconInfo(Icon->Handle(), &Info)) return;
    try {
        ApplyMaskHandle(Info.hbmMask);
    } catch (...) {
        DeleteObject(Info.hbmMask);
        DeleteObject(Info.hbmColor);
        throw;
    }
    DeleteObject(Info.hbmMask);
    DeleteObject(Info.hbmColor);
}

void TPictureImport::PaintMetafileOnColor(TBitmap& Bitmap, TMetafile* Metafile, TColor Color) {
    Bitmap.SetWidth(Metafile->Width());
    Bitmap.SetHeight(Metafile->Height());
    Bitmap.SetPixelFormat(pf24bit);
    TCanvas& Canvas = Bitmap.Canvas();
    Canvas.Brush().SetColor(Color);
    Canvas.Brush().SetStyle(bsSolid);
    Canvas.FillRect(Canvas.ClipRect());
    Canvas.Draw(0, 0, Metafile);
}

void TPictureImport::ApplyMetafileMask(TMetafile* Metafile) {
    TBitmap White, Black;
    PaintMetafileOnColor(White, Metafile, clWhite);
    PaintMetafileOnColor(Black, Metafile, clBlack);
    // Where nothing was painted: white xor black = white (set); where the same color was
    // painted on both: black (clear).
    TCanvas& Canvas = White.Canvas();
    Canvas.SetCopyMode(cmSrcInvert);
    const TRect All = Rect(0, 0, White.Width(), White.Height());
    Canvas.CopyRect(All, Black.Canvas(), All);
    ApplyTransparencyMask(White);
}

// ---------------------------------------------------------------------------
// Other graphics

void TPictureImport::RenderIntoBitmap(TBitmap& Bitmap, TGraphic* Graphic) {
    Bitmap.SetHeight(Graphic->Height());
    Bitmap.SetWidth(Graphic->Width());
    Bitmap.SetPixelFormat(pf24bit);
    Bitmap.Canvas().Draw(0, 0, Graphic);
}

void TPictureImport::ImportGraphic(TGraphic* Source) {
    FFrame.MakeEmpty();
    if (Source->Empty()) return;
    auto* Icon = dynamic_cast<TIcon*>(Source);
    auto* Metafile = dynamic_cast<TMetafile*>(Source);
    {
        TBitmap Temporary;
        if (Icon || Metafile) {
            // Vector pictures and icons are drawn; a bitmap cannot take them by assignment.
            try {
                RenderIntoBitmap(Temporary, Source);
            } catch (...) {
                Temporary.Assign(Source);
            }
        } else {
            // Anything else converts itself (a JPEG image to its decoded bitmap).
            try {
                Temporary.Assign(Source);
            } catch (...) {
                RenderIntoBitmap(Temporary, Source);
            }
        }
        FFrame.Assign(&Temporary);
    }
    if (Icon) ApplyIconMask(Icon);
    if (Metafile) ApplyMetafileMask(Metafile);
}

} // namespace mv

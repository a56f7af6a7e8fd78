#include "platform/Icon.h"

#include "platform/SysUtils.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

namespace mv {

namespace {

[[noreturn]] void IconError(const std::string& Message) {
    throw EInvalidGraphic(Message);
}

uint16_t Get16(const uint8_t* P) {
    return static_cast<uint16_t>(P[0] | (P[1] << 8));
}
uint32_t Get32(const uint8_t* P) {
    return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
           (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}
uint32_t GetBE32(const uint8_t* P) {
    return (static_cast<uint32_t>(P[0]) << 24) | (static_cast<uint32_t>(P[1]) << 16) |
           (static_cast<uint32_t>(P[2]) << 8) | static_cast<uint32_t>(P[3]);
}

const uint8_t PNGSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool IsPNGData(const uint8_t* P, size_t Size) {
    return Size >= 8 && std::memcmp(P, PNGSignature, 8) == 0;
}

// The header of a bitmap entry, whichever of the two header forms it uses.
struct TEntryBitmapHeader {
    uint32_t HeaderSize = 0; // 12 (core header) or 40 and more (info header and its successors)
    int Width = 0;
    int Height = 0; // of the picture: half the stored height, which counts colors and mask
    int BitCount = 0;
    uint32_t Compression = 0;
    uint32_t ColorsUsed = 0;
    int PaletteEntrySize = 4;
};

// Bitmap entry header (little-endian):
//   offset size field
//        0    4 header size: 12 (BITMAPCOREHEADER) or >= 40 (BITMAPINFOHEADER, V4, V5)
//   core header:
//        4    2 width          6    2 height (colors + mask)
//        8    2 planes        10    2 bits per pixel; palette entries are 3 bytes
//   info header:
//        4    4 width          8    4 height (colors + mask: twice the picture's)
//       12    2 planes        14    2 bits per pixel
//       16    4 compression (0 = none, the only kind icons use)
//       20    4 image size    24    8 resolution
//       32    4 colors used (0 = all 2^bits)   36 4 important colors
//   then the palette (bits <= 8), the color rows, the AND mask rows; rows bottom-up,
//   each padded to a multiple of 4 bytes.
TEntryBitmapHeader ReadBitmapHeader(const uint8_t* P, size_t Size, int Index) {
    TEntryBitmapHeader H;
    if (Size < 4)
        IconError(
            Format("Icon entry %d holds %zu bytes, too few for a bitmap header", Index, Size));
    H.HeaderSize = Get32(P);
    int64_t StoredWidth = 0, StoredHeight = 0;
    if (H.HeaderSize == 12) {
        if (Size < 12)
            IconError(Format("Icon entry %d holds %zu bytes, too few for its 12-byte header", Index,
                             Size));
        StoredWidth = Get16(P + 4);
        StoredHeight = Get16(P + 6);
        H.BitCount = Get16(P + 10);
        H.PaletteEntrySize = 3;
    } else if (H.HeaderSize >= 40 && H.HeaderSize <= 1024) {
        if (Size < H.HeaderSize)
            IconError(Format("Icon entry %d holds %zu bytes, too few for its %u-byte header", Index,
                             Size, H.HeaderSize));
        int32_t W = static_cast<int32_t>(Get32(P + 4));
        int32_t SH = static_cast<int32_t>(Get32(P + 8));
        if (W <= 0 || SH <= 0)
            IconError(Format("Icon entry %d has an invalid size of %d x %d", Index, W, SH));
        StoredWidth = W;
        StoredHeight = SH;
        H.BitCount = Get16(P + 14);
        H.Compression = Get32(P + 16);
        H.ColorsUsed = Get32(P + 32);
    } else {
        IconError(Format("Icon entry %d has an unknown header of %u bytes", Index, H.HeaderSize));
    }
    // The stored height covers the color rows and the mask rows; an odd value is read as
    // color rows of half of it (rounded up), which is what the height can mean.
    int64_t PictureHeight = (StoredHeight + 1) / 2;
    if (StoredWidth <= 0 || PictureHeight <= 0 || StoredWidth > MaxIconSide ||
        PictureHeight > MaxIconSide)
        IconError(Format("Icon entry %d claims %lld x %lld pixels; icons are at most %d a side",
                         Index, static_cast<long long>(StoredWidth),
                         static_cast<long long>(PictureHeight), MaxIconSide));
    H.Width = static_cast<int>(StoredWidth);
    H.Height = static_cast<int>(PictureHeight);
    switch (H.BitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        IconError(Format("Icon entry %d has %d bits per pixel", Index, H.BitCount));
    }
    if (H.Compression != 0)
        IconError(Format("Icon entry %d uses bitmap compression %u; icons store plain rows", Index,
                         H.Compression));
    return H;
}

// PNG start (big-endian): 8-byte signature, then the IHDR chunk:
//   offset size field
//        8    4 chunk length (13)    12 4 "IHDR"
//       16    4 width                20 4 height
//       24    1 bit depth            25 1 color type (0 gray, 2 RGB, 3 palette, 4 gray+alpha,
//                                                     6 RGBA)
void ReadPNGHeader(const uint8_t* P, size_t Size, int Index, TIconEntryInfo& Info) {
    if (Size < 33 || std::memcmp(P + 12, "IHDR", 4) != 0)
        IconError(
            Format("Icon entry %d is a PNG of %zu bytes without a readable header", Index, Size));
    uint32_t W = GetBE32(P + 16);
    uint32_t H = GetBE32(P + 20);
    if (W == 0 || H == 0 || W > static_cast<uint32_t>(MaxIconSide) ||
        H > static_cast<uint32_t>(MaxIconSide))
        IconError(Format("Icon entry %d is a PNG of %u x %u pixels; icons are at most %d a side",
                         Index, W, H, MaxIconSide));
    int Depth = P[24];
    int Channels = 0;
    switch (P[25]) {
    case 0:
        Channels = 1;
        break;
    case 2:
        Channels = 3;
        break;
    case 3:
        Channels = 1;
        break;
    case 4:
        Channels = 2;
        break;
    case 6:
        Channels = 4;
        break;
    default:
        IconError(Format("Icon entry %d is a PNG of unknown color type %d", Index, P[25]));
    }
    Info.Width = static_cast<int>(W);
    Info.Height = static_cast<int>(H);
    Info.BitCount = Depth * Channels;
    Info.IsPNG = true;
}

// ---------------------------------------------------------------------------
// PNG entries, through libpng. libpng reports errors by longjmp; the function that calls
// it holds nothing that needs a destructor, and the C++ caller raises the exception once
// libpng's frames are gone.

struct TPNGReadContext {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
    size_t Position = 0;
    int ExpectWidth = 0;
    int ExpectHeight = 0;
    uint8_t** Rows = nullptr;
    png_structp Png = nullptr;
    png_infop Info = nullptr;
    char Message[200] = {};
};

void PNGError(png_structp Png, png_const_charp Message) {
    auto* C = static_cast<TPNGReadContext*>(png_get_error_ptr(Png));
    std::snprintf(C->Message, sizeof C->Message, "%s", Message ? Message : "PNG error");
    png_longjmp(Png, 1);
}

void PNGWarning(png_structp, png_const_charp) {}

void PNGRead(png_structp Png, png_bytep Out, png_size_t Count) {
    auto* C = static_cast<TPNGReadContext*>(png_get_io_ptr(Png));
    if (Count > C->Size - C->Position) png_error(Png, "PNG data ends early");
    std::memcpy(Out, C->Data + C->Position, Count);
    C->Position += Count;
}

bool DecodePNGCore(TPNGReadContext* C) {
    C->Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, C, PNGError, PNGWarning);
    if (!C->Png) {
        std::snprintf(C->Message, sizeof C->Message, "out of memory for the PNG decoder");
        return false;
    }
    C->Info = png_create_info_struct(C->Png);
    if (!C->Info) {
        png_destroy_read_struct(&C->Png, nullptr, nullptr);
        std::snprintf(C->Message, sizeof C->Message, "out of memory for the PNG decoder");
        return false;
    }
    if (setjmp(png_jmpbuf(C->Png))) {
        png_destroy_read_struct(&C->Png, &C->Info, nullptr);
        return false;
    }
    png_set_read_fn(C->Png, C, PNGRead);
    png_set_user_limits(C->Png, MaxIconSide, MaxIconSide);
    png_set_chunk_malloc_max(C->Png, 1 << 22);
    png_read_info(C->Png, C->Info);
    png_uint_32 W = 0, H = 0;
    int Depth = 0, ColorType = 0;
    png_get_IHDR(C->Png, C->Info, &W, &H, &Depth, &ColorType, nullptr, nullptr, nullptr);
    if (static_cast<int>(W) != C->ExpectWidth || static_cast<int>(H) != C->ExpectHeight)
        png_error(C->Png, "PNG size changed between header reads");
    // Every kind of PNG becomes 8-bit blue, green, red, alpha.
    png_set_expand(C->Png);
    png_set_strip_16(C->Png);
    png_set_gray_to_rgb(C->Png);
    png_set_bgr(C->Png);
    png_set_filler(C->Png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(C->Png);
    png_read_update_info(C->Png, C->Info);
    if (png_get_rowbytes(C->Png, C->Info) != static_cast<size_t>(W) * 4)
        png_error(C->Png, "unexpected PNG row layout");
    png_read_image(C->Png, C->Rows);
    png_destroy_read_struct(&C->Png, &C->Info, nullptr);
    return true;
}

void DecodePNGEntry(const uint8_t* P, size_t Size, const TIconEntryInfo& E, TIconBitmapData& Out) {
    Out.Width = E.Width;
    Out.Height = E.Height;
    Out.BitCount = E.BitCount;
    Out.IsPNG = true;
    Out.HasAlpha = true;
    size_t Pixels = static_cast<size_t>(E.Width) * static_cast<size_t>(E.Height);
    Out.Pixels.assign(Pixels * 4, 0);
    std::vector<uint8_t*> Rows(static_cast<size_t>(E.Height));
    for (int y = 0; y < E.Height; ++y)
        Rows[static_cast<size_t>(y)] = Out.Pixels.data() + static_cast<size_t>(y) * E.Width * 4;
    TPNGReadContext C;
    C.Data = P;
    C.Size = Size;
    C.ExpectWidth = E.Width;
    C.ExpectHeight = E.Height;
    C.Rows = Rows.data();
    if (!DecodePNGCore(&C))
        IconError(Format("Icon entry %d is a damaged PNG: %s", E.Index, C.Message));
    // The icon's mask is where the PNG is fully transparent.
    Out.Mask.resize(Pixels);
    for (size_t i = 0; i < Pixels; ++i) Out.Mask[i] = Out.Pixels[i * 4 + 3] == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Bitmap entries

size_t RowBytesOf(int Width, int Bits) {
    return ((static_cast<size_t>(Width) * static_cast<size_t>(Bits) + 31) / 32) * 4;
}

void DecodeBitmapEntry(const uint8_t* P, size_t Size, const TIconEntryInfo& E,
                       TIconBitmapData& Out) {
    TEntryBitmapHeader H = ReadBitmapHeader(P, Size, E.Index);
    const int W = H.Width, Ht = H.Height, Bits = H.BitCount;
    Out.Width = W;
    Out.Height = Ht;
    Out.BitCount = Bits;

    size_t PaletteCount = 0;
    if (Bits <= 8) {
        size_t Full = size_t(1) << Bits;
        PaletteCount = H.ColorsUsed == 0 ? Full : H.ColorsUsed;
        if (PaletteCount > Full)
            IconError(Format("Icon entry %d claims %u colors for %d bits per pixel", E.Index,
                             H.ColorsUsed, Bits));
    }
    const size_t PaletteBytes = PaletteCount * static_cast<size_t>(H.PaletteEntrySize);
    const size_t ColorRow = RowBytesOf(W, Bits);
    const size_t MaskRow = RowBytesOf(W, 1);
    const size_t ColorStart = H.HeaderSize + PaletteBytes;
    const size_t MaskStart = ColorStart + ColorRow * static_cast<size_t>(Ht);
    const size_t End = MaskStart + MaskRow * static_cast<size_t>(Ht);
    // A 32-bit entry carries its transparency in the alpha channel; a missing AND mask
    // there is tolerated (some writers leave it out) and taken from alpha.
    const bool MaskPresent = End <= Size;
    if (MaskStart > Size || (!MaskPresent && Bits != 32))
        IconError(Format("Icon entry %d of %d x %d at %d bits needs %zu bytes; it holds %zu",
                         E.Index, W, Ht, Bits, Bits == 32 ? MaskStart : End, Size));

    uint8_t Palette[256][3] = {};
    for (size_t i = 0; i < PaletteCount; ++i) {
        const uint8_t* Q = P + H.HeaderSize + i * static_cast<size_t>(H.PaletteEntrySize);
        Palette[i][0] = Q[0];
        Palette[i][1] = Q[1];
        Palette[i][2] = Q[2];
    }

    const size_t Pixels = static_cast<size_t>(W) * static_cast<size_t>(Ht);
    Out.Pixels.assign(Pixels * 4, 0);
    Out.Mask.assign(Pixels, 0);
    bool AnyAlpha = false;
    for (int y = 0; y < Ht; ++y) {
        // Rows are stored bottom-up.
        const uint8_t* Src = P + ColorStart + ColorRow * static_cast<size_t>(Ht - 1 - y);
        uint8_t* Dst = Out.Pixels.data() + static_cast<size_t>(y) * W * 4;
        for (int x = 0; x < W; ++x, Dst += 4) {
            switch (Bits) {
            case 1:
            case 4:
            case 8: {
                unsigned Index;
                if (Bits == 8)
                    Index = Src[x];
                else if (Bits == 4)
                    Index = (Src[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F;
                else
                    Index = (Src[x >> 3] >> (7 - (x & 7))) & 1;
                // An index past a short palette shows black: the color table has no entry
                // for it, and black is what the system shows for one.
                if (Index < PaletteCount) {
                    Dst[0] = Palette[Index][0];
                    Dst[1] = Palette[Index][1];
                    Dst[2] = Palette[Index][2];
                }
                Dst[3] = 255;
                break;
            }
            case 16: {
                unsigned V = Get16(Src + 2 * x); // 5-5-5, blue in the low bits
                unsigned B = V & 31, G = (V >> 5) & 31, R = (V >> 10) & 31;
                Dst[0] = static_cast<uint8_t>((B << 3) | (B >> 2));
                Dst[1] = static_cast<uint8_t>((G << 3) | (G >> 2));
                Dst[2] = static_cast<uint8_t>((R << 3) | (R >> 2));
                Dst[3] = 255;
                break;
            }
            case 24:
                Dst[0] = Src[3 * x];
                Dst[1] = Src[3 * x + 1];
                Dst[2] = Src[3 * x + 2];
                Dst[3] = 255;
                break;
            case 32:
                std::memcpy(Dst, Src + 4 * x, 4);
                AnyAlpha |= Dst[3] != 0;
                break;
            }
        }
        if (MaskPresent) {
            const uint8_t* M = P + MaskStart + MaskRow * static_cast<size_t>(Ht - 1 - y);
            uint8_t* MD = Out.Mask.data() + static_cast<size_t>(y) * W;
            for (int x = 0; x < W; ++x) MD[x] = (M[x >> 3] >> (7 - (x & 7))) & 1;
        }
    }
    Out.HasAlpha = Bits == 32 && AnyAlpha;
    if (!MaskPresent)
        for (size_t i = 0; i < Pixels; ++i) Out.Mask[i] = Out.Pixels[i * 4 + 3] == 0 ? 1 : 0;
    if (!Out.HasAlpha) // opaque where the mask is clear
        for (size_t i = 0; i < Pixels; ++i) Out.Pixels[i * 4 + 3] = Out.Mask[i] ? 0 : 255;
}

} // namespace

// Icon file directory (little-endian):
//   offset size field
//        0    2 reserved, 0
//        2    2 type: 1 icon, 2 cursor
//        4    2 number of entries
//   then 16 bytes per entry:
//        0    1 width (0 means 256)      1 1 height (0 means 256)
//        2    1 colors (0 for 8 bits and more)   3 1 reserved
//        4    2 planes (cursor: hot spot x)      6 2 bits per pixel (cursor: hot spot y)
//        8    4 bytes of the entry's data       12 4 offset of the data in the file
// The directory's size and depth are often wrong or 0, so an entry is judged by its own
// header (bitmap or PNG).
std::vector<TIconEntryInfo> ReadIconDirectory(const uint8_t* Data, size_t Size) {
    if (Size < 6) IconError(Format("Icon file of %zu bytes is too short for a directory", Size));
    uint16_t Reserved = Get16(Data), Type = Get16(Data + 2), Count = Get16(Data + 4);
    if (Reserved != 0 || (Type != 1 && Type != 2))
        IconError(Format("Not an icon file: the directory starts with %u, %u", Reserved, Type));
    if (Count == 0) IconError("Icon file holds no images");
    if (6 + static_cast<size_t>(Count) * 16 > Size)
        IconError(Format("Icon directory lists %u images, which needs %zu bytes; the file has %zu",
                         Count, 6 + static_cast<size_t>(Count) * 16, Size));
    std::vector<TIconEntryInfo> Entries;
    Entries.reserve(Count);
    for (int i = 0; i < Count; ++i) {
        const uint8_t* D = Data + 6 + 16 * static_cast<size_t>(i);
        TIconEntryInfo E;
        E.Index = i;
        E.Size = Get32(D + 8);
        E.Offset = Get32(D + 12);
        if (E.Offset > Size || E.Size > Size - E.Offset)
            IconError(Format("Icon entry %d claims %u bytes at offset %u in a %zu-byte file", i,
                             E.Size, E.Offset, Size));
        const uint8_t* P = Data + E.Offset;
        if (IsPNGData(P, E.Size)) {
            ReadPNGHeader(P, E.Size, i, E);
        } else {
            TEntryBitmapHeader H = ReadBitmapHeader(P, E.Size, i);
            E.Width = H.Width;
            E.Height = H.Height;
            E.BitCount = H.BitCount;
        }
        Entries.push_back(E);
    }
    return Entries;
}

size_t ChooseIconEntry(const std::vector<TIconEntryInfo>& Entries) {
    size_t Best = 0;
    for (size_t i = 1; i < Entries.size(); ++i) {
        const TIconEntryInfo &A = Entries[i], &B = Entries[Best];
        int64_t PA = int64_t(A.Width) * A.Height, PB = int64_t(B.Width) * B.Height;
        if (PA > PB || (PA == PB && A.BitCount > B.BitCount)) Best = i;
    }
    return Best;
}

TIconBitmapData DecodeIconEntry(const uint8_t* Data, size_t Size, const TIconEntryInfo& Entry) {
    if (Entry.Offset > Size || Entry.Size > Size - Entry.Offset)
        IconError(Format("Icon entry %d claims %u bytes at offset %u in a %zu-byte file",
                         Entry.Index, Entry.Size, Entry.Offset, Size));
    TIconBitmapData Out;
    const uint8_t* P = Data + Entry.Offset;
    if (IsPNGData(P, Entry.Size))
        DecodePNGEntry(P, Entry.Size, Entry, Out);
    else
        DecodeBitmapEntry(P, Entry.Size, Entry, Out);
    return Out;
}

TIconBitmapData DecodeIconFile(const uint8_t* Data, size_t Size) {
    std::vector<TIconEntryInfo> Entries = ReadIconDirectory(Data, Size);
    return DecodeIconEntry(Data, Size, Entries[ChooseIconEntry(Entries)]);
}

// ---------------------------------------------------------------------------
// Icon handles and TIcon

bool GetIconInfo(const HICON& Icon, TIconInfo* Info) {
    if (!Icon || !Info) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const TIconBitmapData& D = Icon->Image;
    // Both are device bitmaps, as the system gives them: 32-bit colors and a monochrome mask
    // (1 where the background shows through).
    HBITMAP Color = CreateBitmap(D.Width, D.Height, 1, 32, nullptr);
    HBITMAP Mask = CreateBitmap(D.Width, D.Height, 1, 1, nullptr);
    if (!Color || !Mask) return false; // last error set by CreateBitmap
    const size_t W = static_cast<size_t>(D.Width);
    for (int y = 0; y < D.Height; ++y) {
        std::memcpy(Color->Row(y), D.Pixels.data() + static_cast<size_t>(y) * W * 4, W * 4);
        uint8_t* M = Mask->Row(y);
        const uint8_t* S = D.Mask.data() + static_cast<size_t>(y) * W;
        for (size_t x = 0; x < W; ++x)
            if (S[x]) M[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    }
    Info->fIcon = true;
    Info->xHotspot = static_cast<uint32_t>(D.Width / 2);
    Info->yHotspot = static_cast<uint32_t>(D.Height / 2);
    Info->hbmColor = std::move(Color);
    Info->hbmMask = std::move(Mask);
    return true;
}

TIcon::~TIcon() = default;

void TIcon::LoadFromStream(TStream& Stream) {
    const int64_t Count = Stream.Size() - Stream.Position();
    std::vector<uint8_t> Bytes(static_cast<size_t>(Count > 0 ? Count : 0));
    Stream.ReadBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    auto Object = std::make_shared<TIconObject>();
    Object->Image = DecodeIconFile(Bytes.data(), Bytes.size());
    FData = std::move(Bytes);
    FHandle = std::move(Object);
    Changed(this);
}

void TIcon::SaveToStream(TStream& Stream) {
    Stream.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
}

void TIcon::LoadFromClipboardFormat(uint32_t, THandle, HPALETTE) {
    throw EInvalidGraphic("Icons cannot be read from the clipboard");
}

void TIcon::SaveToClipboardFormat(uint32_t&, THandle&, HPALETTE&) {
    throw EInvalidGraphic("Icons cannot be put on the clipboard");
}

void TIcon::SetWidth(int32_t) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}

void TIcon::SetHeight(int32_t) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}

bool TIcon::Equals(TGraphic* Graphic) {
    auto* Other = dynamic_cast<TIcon*>(Graphic);
    return Other != nullptr && Other->FData == FData;
}

void TIcon::Assign(TPersistent* Source) {
    if (auto* I = dynamic_cast<TIcon*>(Source)) {
        if (I == this) return;
        FData = I->FData;
        FHandle = I->FHandle; // the image is never changed, so it can be shared
        Changed(this);
        return;
    }
    TGraphic::Assign(Source);
}

// The picture is stretched by sampling (destination column x takes source column
// ((2x + 1) * W) div (2 * DW), rows alike) and combined with what the surface holds: where
// the mask is clear the icon's color, where it is set the surface stays (a nonzero color
// there inverts it, as monochrome icons use); 32-bit images blend by their alpha instead.
// 24- and 32-bit surfaces are written directly; on the others only the pixels that change
// are set, through the device context, which maps them into the surface's colors.
void TIcon::Draw(TCanvas& ACanvas, const TRect& Rect) {
    if (!FHandle) return;
    const TIconBitmapData& D = FHandle->Image;
    const int64_t DW = int64_t(Rect.Right) - Rect.Left, DH = int64_t(Rect.Bottom) - Rect.Top;
    if (DW <= 0 || DH <= 0 || D.Width <= 0 || D.Height <= 0) return;
    HDC DC = ACanvas.Handle();
    if (!DC || !DC->Bitmap) return;
    TBitmapObject& S = *DC->Bitmap;
    if (!S.Bits()) return;
    const int64_t X0 = std::max<int64_t>(Rect.Left, 0), X1 = std::min<int64_t>(Rect.Right, S.Width);
    const int64_t Y0 = std::max<int64_t>(Rect.Top, 0),
                  Y1 = std::min<int64_t>(Rect.Bottom, S.Height);
    if (X0 >= X1 || Y0 >= Y1) return;
    ACanvas.Changing();
    const bool Direct = !S.Monochrome && (S.BitCount == 24 || S.BitCount == 32);
    const int Step = S.BitCount / 8;
    std::vector<int32_t> Column(static_cast<size_t>(X1 - X0));
    for (int64_t x = X0; x < X1; ++x)
        Column[static_cast<size_t>(x - X0)] =
            static_cast<int32_t>(((2 * (x - Rect.Left) + 1) * D.Width) / (2 * DW));
    for (int64_t y = Y0; y < Y1; ++y) {
        const int64_t sy = ((2 * (y - Rect.Top) + 1) * D.Height) / (2 * DH);
        const size_t SrcRow = static_cast<size_t>(sy) * static_cast<size_t>(D.Width);
        uint8_t* Row = S.Row(static_cast<int32_t>(y));
        for (int64_t x = X0; x < X1; ++x) {
            const size_t i = SrcRow + static_cast<size_t>(Column[static_cast<size_t>(x - X0)]);
            const uint8_t* P = &D.Pixels[i * 4]; // blue, green, red, alpha
            const int X = static_cast<int>(x), Y = static_cast<int>(y);
            uint8_t* Q = Direct ? Row + static_cast<size_t>(X) * Step : nullptr;
            // What the surface shows there, blue, green, red.
            auto Under = [&](uint8_t U[3]) {
                if (Q) {
                    U[0] = Q[0], U[1] = Q[1], U[2] = Q[2];
                } else {
                    COLORREF C = S.PixelColor(X, Y);
                    U[0] = GetBValue(C), U[1] = GetGValue(C), U[2] = GetRValue(C);
                }
            };
            uint8_t Out[3];
            if (D.HasAlpha) {
                const unsigned A = P[3];
                if (A == 0) continue;
                if (A == 255) {
                    Out[0] = P[0], Out[1] = P[1], Out[2] = P[2];
                } else {
                    uint8_t U[3];
                    Under(U);
                    for (int c = 0; c < 3; ++c)
                        Out[c] = static_cast<uint8_t>((P[c] * A + U[c] * (255 - A) + 127) / 255);
                }
            } else if (D.Mask[i] == 0) {
                Out[0] = P[0], Out[1] = P[1], Out[2] = P[2];
            } else if (P[0] | P[1] | P[2]) {
                uint8_t U[3];
                Under(U);
                for (int c = 0; c < 3; ++c) Out[c] = U[c] ^ P[c];
            } else {
                continue; // masked, black: the surface stays
            }
            if (Q)
                Q[0] = Out[0], Q[1] = Out[1], Q[2] = Out[2];
            else
                SetPixel(DC, X, Y, RGB(Out[2], Out[1], Out[0]));
        }
    }
    ACanvas.Changed();
}

} // namespace mv

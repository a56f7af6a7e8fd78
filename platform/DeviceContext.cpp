// Bitmap objects, device contexts and the raster operations between them.
#include "platform/Graphics.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace mv {

// ---------------------------------------------------------------------------
// Bitmap objects

void TBitmapObject::Allocate(int32_t W, int32_t H, int Bits, bool Clear) {
    if (W < 0 || H < 0 ||
        !(Bits == 1 || Bits == 4 || Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32))
        throw EInvalidGraphicOperation(
            Format("Invalid bitmap size or depth (%d x %d, %d bits)", W, H, Bits));
    uint64_t RowBits = static_cast<uint64_t>(W) * static_cast<uint64_t>(Bits);
    uint64_t StrideBytes = ((RowBits + 31) & ~uint64_t{31}) / 8;
    uint64_t Total = StrideBytes * static_cast<uint64_t>(H);
    if (StrideBytes > INT32_MAX || Total > (uint64_t{1} << 34))
        throw EOutOfMemory(Format("Bitmap of %d x %d pixels at %d bits is too large", W, H, Bits));
    std::unique_ptr<uint8_t[]> P;
    if (Total > 0) {
        P.reset(new (std::nothrow) uint8_t[Total]);
        if (!P) throw EOutOfMemory(Format("Out of memory for a bitmap of %d x %d pixels", W, H));
        AdviseLargeBlock(P.get(), Total);
        if (Clear) std::memset(P.get(), 0, Total);
    }
    FPixels = std::move(P);
    FBase = FPixels.get();
    Width = W;
    Height = H;
    BitCount = Bits;
    Stride = static_cast<int32_t>(StrideBytes);
    if (Bits == 16 && RedMask == 0) {
        RedMask = 0x7C00;
        GreenMask = 0x03E0;
        BlueMask = 0x001F;
    }
}

namespace {

inline uint32_t ExpandMasked(uint32_t V, uint32_t Mask) {
    if (Mask == 0) return 0;
    int Shift = __builtin_ctz(Mask);
    uint32_t M = Mask >> Shift;
    uint32_t X = (V & Mask) >> Shift;
    return (X * 255 + M / 2) / M;
}

inline uint32_t PackMasked(uint32_t C8, uint32_t Mask) {
    if (Mask == 0) return 0;
    int Shift = __builtin_ctz(Mask);
    uint32_t M = Mask >> Shift;
    return ((C8 * M + 127) / 255) << Shift;
}

// Raw pixel value: an index, a 16-bit word, or 0x00RRGGBB for 24 and 32 bits.
inline uint32_t ReadValue(const TBitmapObject& B, const uint8_t* Row, int32_t X) {
    switch (B.BitCount) {
    case 1:
        return (Row[X >> 3] >> (7 - (X & 7))) & 1;
    case 4:
        return (Row[X >> 1] >> ((X & 1) ? 0 : 4)) & 0x0F;
    case 8:
        return Row[X];
    case 16:
        return static_cast<uint32_t>(Row[2 * X] | (Row[2 * X + 1] << 8));
    case 24: {
        const uint8_t* P = Row + 3 * X;
        return static_cast<uint32_t>(P[0] | (P[1] << 8) | (P[2] << 16));
    }
    default: {
        const uint8_t* P = Row + 4 * X;
        return static_cast<uint32_t>(P[0] | (P[1] << 8) | (P[2] << 16));
    }
    }
}

inline void WriteValue(TBitmapObject& B, uint8_t* Row, int32_t X, uint32_t V) {
    switch (B.BitCount) {
    case 1: {
        uint8_t Bit = static_cast<uint8_t>(0x80 >> (X & 7));
        if (V & 1)
            Row[X >> 3] |= Bit;
        else
            Row[X >> 3] &= static_cast<uint8_t>(~Bit);
        break;
    }
    case 4: {
        uint8_t& P = Row[X >> 1];
        if (X & 1)
            P = static_cast<uint8_t>((P & 0xF0) | (V & 0x0F));
        else
            P = static_cast<uint8_t>((P & 0x0F) | ((V & 0x0F) << 4));
        break;
    }
    case 8:
        Row[X] = static_cast<uint8_t>(V);
        break;
    case 16:
        Row[2 * X] = static_cast<uint8_t>(V);
        Row[2 * X + 1] = static_cast<uint8_t>(V >> 8);
        break;
    case 24: {
        uint8_t* P = Row + 3 * X;
        P[0] = static_cast<uint8_t>(V);
        P[1] = static_cast<uint8_t>(V >> 8);
        P[2] = static_cast<uint8_t>(V >> 16);
        break;
    }
    default: {
        uint8_t* P = Row + 4 * X;
        P[0] = static_cast<uint8_t>(V);
        P[1] = static_cast<uint8_t>(V >> 8);
        P[2] = static_cast<uint8_t>(V >> 16);
        P[3] = 0;
        break;
    }
    }
}

// 0x00RRGGBB (a raw 24-bit value) <-> COLORREF 0x00BBGGRR.
inline COLORREF SwapRB(uint32_t V) {
    return ((V & 0xFF) << 16) | (V & 0xFF00) | ((V >> 16) & 0xFF);
}

inline COLORREF ValueToColor(const TBitmapObject& B, uint32_t V) {
    switch (B.BitCount) {
    case 1:
    case 4:
    case 8: {
        if (B.Monochrome) return V ? 0xFFFFFF : 0x000000;
        if (V >= B.ColorTable.size()) return 0;
        const RGBQUAD& Q = B.ColorTable[V];
        return RGB(Q.rgbRed, Q.rgbGreen, Q.rgbBlue);
    }
    case 16:
        return RGB(static_cast<uint8_t>(ExpandMasked(V, B.RedMask)),
                   static_cast<uint8_t>(ExpandMasked(V, B.GreenMask)),
                   static_cast<uint8_t>(ExpandMasked(V, B.BlueMask)));
    default:
        return SwapRB(V);
    }
}

} // namespace

COLORREF TBitmapObject::PixelColor(int32_t X, int32_t Y) const {
    return ValueToColor(*this, ReadValue(*this, Row(Y), X));
}

void TBitmapObject::Adopt(std::unique_ptr<uint8_t[]> Block, size_t Offset, int32_t W, int32_t H,
                          int Bits) {
    FPixels = std::move(Block);
    FBase = FPixels ? FPixels.get() + Offset : nullptr;
    Width = W;
    Height = H;
    BitCount = Bits;
    Stride = static_cast<int32_t>(((static_cast<uint64_t>(W) * Bits + 31) & ~uint64_t{31}) / 8);
}

void AdviseLargeBlock(void* Block, size_t Bytes) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t Huge = uintptr_t{1} << 21;
    if (!Block || Bytes < 2 * Huge) return;
    // Only whole huge pages inside the block; advice is a hint, so its answer is not needed.
    uintptr_t Begin = (reinterpret_cast<uintptr_t>(Block) + Huge - 1) & ~(Huge - 1);
    uintptr_t End = (reinterpret_cast<uintptr_t>(Block) + Bytes) & ~(Huge - 1);
    if (End > Begin) (void)madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_HUGEPAGE);
#else
    (void)Block;
    (void)Bytes;
#endif
}

HBITMAP TBitmapObject::Clone() const {
    auto C = std::make_shared<TBitmapObject>();
    C->Monochrome = Monochrome;
    C->DIB = DIB;
    C->ColorTable = ColorTable;
    C->RedMask = RedMask;
    C->GreenMask = GreenMask;
    C->BlueMask = BlueMask;
    C->ClrImportant = ClrImportant;
    C->Allocate(Width, Height, BitCount, false);
    if (ByteSize()) std::memcpy(C->Bits(), FBase, ByteSize());
    return C;
}

HBITMAP CreateBitmap(int32_t Width, int32_t Height, uint32_t Planes, uint32_t BitCount,
                     const void* Bits) {
    uint32_t Depth = Planes * BitCount;
    if (Width < 0 || Height < 0 || Planes == 0 || Depth == 0 || Depth > 32) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto B = std::make_shared<TBitmapObject>();
    B->DIB = false;
    int Bits2 = Depth == 1 ? 1 : Depth <= 16 && Depth > 8 ? 16 : Depth == 24 ? 24 : 32;
    if (Depth > 1 && Depth <= 8) Bits2 = 32; // palette depths become device (true color) bitmaps
    try {
        B->Allocate(Width, Height, Bits2, Bits == nullptr);
    } catch (const Exception&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (Depth == 1) {
        B->Monochrome = true;
        B->ColorTable = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    }
    if (Bits) {
        // Source rows are whole 16-bit words of the given depth.
        int32_t SrcStride = ((Width * static_cast<int32_t>(Depth) + 15) / 16) * 2;
        const uint8_t* S = static_cast<const uint8_t*>(Bits);
        bool Same = static_cast<int>(Depth) == B->BitCount;
        for (int32_t y = 0; y < Height; ++y) {
            uint8_t* D = B->Row(y);
            std::memset(D, 0, static_cast<size_t>(B->Stride));
            if (Same)
                std::memcpy(D, S + static_cast<size_t>(y) * SrcStride,
                            static_cast<size_t>(std::min(SrcStride, B->Stride)));
        }
    }
    return B;
}

// ---------------------------------------------------------------------------
// Screen and device contexts

namespace {
std::atomic<int> ScreenBits{0};
}

int ScreenBitsPerPixel() {
    int B = ScreenBits.load();
    if (B != 0) return B;
    int Value = 32;
    if (const char* E = std::getenv("MORVELLAN_SCREEN_BPP")) {
        int V = std::atoi(E);
        if (V >= 1 && V <= 32) Value = V;
    }
    int Expected = 0;
    ScreenBits.compare_exchange_strong(Expected, Value);
    return ScreenBits.load();
}

void SetScreenBitsPerPixel(int Bits) {
    if (Bits >= 1 && Bits <= 32) ScreenBits.store(Bits);
}

namespace {
HBITMAP DefaultMemoryBitmap() {
    // Every memory DC starts with a 1 x 1 monochrome bitmap of its own.
    return CreateBitmap(1, 1, 1, 1, nullptr);
}

bool CheckDC(const HDC& DC) {
    if (!DC || !DC->Valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}
} // namespace

TDeviceContext::TDeviceContext(TKind Kind) : Palette(DefaultPalette()), FKind(Kind) {}

HDC GetDC(const HWND& Window) {
    if (Window) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::make_shared<TDeviceContext>(TDeviceContext::dcScreen);
}

int ReleaseDC(const HWND&, HDC& DC) {
    if (!DC || DC->Kind() == TDeviceContext::dcMemory) return 0;
    DC->Valid = false;
    DC.reset();
    return 1;
}

HDC CreateDisplayDC(const HBITMAP& Surface) {
    auto DC = std::make_shared<TDeviceContext>(TDeviceContext::dcDisplay);
    DC->Bitmap = Surface;
    return DC;
}

HDC CreateCompatibleDC(const HDC& DC) {
    if (DC && !DC->Valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto M = std::make_shared<TDeviceContext>(TDeviceContext::dcMemory);
    M->Bitmap = DefaultMemoryBitmap();
    if (!M->Bitmap) return nullptr;
    M->Bitmap->SelectedCount = 1;
    return M;
}

bool DeleteDC(HDC& DC) {
    if (!CheckDC(DC)) return false;
    if (DC->Kind() == TDeviceContext::dcMemory && DC->Bitmap) --DC->Bitmap->SelectedCount;
    DC->Bitmap.reset();
    DC->Valid = false;
    DC.reset();
    return true;
}

HBITMAP CreateCompatibleBitmap(const HDC& DC, int32_t Width, int32_t Height) {
    if (DC && DC->Valid && DC->Kind() == TDeviceContext::dcMemory && DC->Bitmap &&
        DC->Bitmap->Monochrome)
        return CreateBitmap(Width, Height, 1, 1, nullptr);
    return CreateBitmap(Width, Height, 1, 32, nullptr);
}

int GetDeviceCaps(const HDC& DC, int Index) {
    if (DC && !DC->Valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    int Bits = ScreenBitsPerPixel();
    switch (Index) {
    case BITSPIXEL:
        return Bits;
    case PLANES:
        return 1;
    case NUMCOLORS:
        return Bits <= 8 ? 20 : -1;
    case RASTERCAPS:
        return Bits <= 8 ? RC_PALETTE : 0;
    case SIZEPALETTE:
        return Bits <= 8 ? (1 << Bits) : 0;
    case HORZRES:
        return 1920;
    case VERTRES:
        return 1080;
    case LOGPIXELSX:
    case LOGPIXELSY:
        return 96;
    default:
        return 0;
    }
}

HGDIOBJ SelectObject(const HDC& DC, const HGDIOBJ& Object) {
    if (!CheckDC(DC) || !Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (auto B = HandleCast<TBitmapObject>(Object)) {
        if (DC->Kind() != TDeviceContext::dcMemory) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (B == DC->Bitmap) return B;
        if (B->SelectedCount > 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        HBITMAP Old = DC->Bitmap;
        if (Old) --Old->SelectedCount;
        DC->Bitmap = B;
        ++B->SelectedCount;
        return Old;
    }
    if (auto P = HandleCast<TPaletteObject>(Object)) return SelectPalette(DC, P, false);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HPALETTE SelectPalette(const HDC& DC, const HPALETTE& Palette, bool) {
    if (!CheckDC(DC) || !Palette) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HPALETTE Old = DC->Palette;
    DC->Palette = Palette;
    return Old;
}

uint32_t RealizePalette(const HDC& DC) {
    if (!CheckDC(DC)) return 0xFFFFFFFF;
    if (ScreenBitsPerPixel() > 8 || !DC->Palette) return 0;
    // The static colors stay; the rest of the system palette takes the logical entries.
    return static_cast<uint32_t>(std::min<size_t>(DC->Palette->Entries().size(), 236));
}

HGDIOBJ GetCurrentObject(const HDC& DC, uint32_t Type) {
    if (!CheckDC(DC)) return nullptr;
    if (Type == OBJ_BITMAP) return DC->Bitmap;
    if (Type == OBJ_PAL) return DC->Palette;
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

uint32_t GetDIBColorTable(const HDC& DC, uint32_t StartIndex, uint32_t Count, RGBQUAD* Colors) {
    if (!CheckDC(DC) || !Colors) return 0;
    const HBITMAP& B = DC->Bitmap;
    if (!B || !B->DIB || B->BitCount > 8 || DC->Kind() != TDeviceContext::dcMemory) return 0;
    if (StartIndex >= B->ColorTable.size()) return 0;
    uint32_t N =
        std::min<uint32_t>(Count, static_cast<uint32_t>(B->ColorTable.size()) - StartIndex);
    std::copy_n(B->ColorTable.begin() + StartIndex, N, Colors);
    return N;
}

uint32_t SetDIBColorTable(const HDC& DC, uint32_t StartIndex, uint32_t Count,
                          const RGBQUAD* Colors) {
    if (!CheckDC(DC) || !Colors) return 0;
    const HBITMAP& B = DC->Bitmap;
    if (!B || !B->DIB || B->BitCount > 8 || DC->Kind() != TDeviceContext::dcMemory) return 0;
    uint32_t Size = 1u << B->BitCount;
    if (StartIndex >= Size) return 0;
    uint32_t N = std::min(Count, Size - StartIndex);
    if (B->ColorTable.size() < StartIndex + N) B->ColorTable.resize(StartIndex + N);
    std::copy_n(Colors, N, B->ColorTable.begin() + StartIndex);
    return N;
}

int SetStretchBltMode(const HDC& DC, int Mode) {
    if (!CheckDC(DC) || Mode < BLACKONWHITE || Mode > HALFTONE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int Old = DC->StretchMode;
    DC->StretchMode = Mode;
    return Old;
}

int GetStretchBltMode(const HDC& DC) {
    return CheckDC(DC) ? DC->StretchMode : 0;
}

COLORREF SetTextColor(const HDC& DC, COLORREF Color) {
    if (!CheckDC(DC)) return CLR_INVALID;
    COLORREF Old = DC->TextColor;
    DC->TextColor = Color & 0xFFFFFF;
    return Old;
}

COLORREF SetBkColor(const HDC& DC, COLORREF Color) {
    if (!CheckDC(DC)) return CLR_INVALID;
    COLORREF Old = DC->BkColor;
    DC->BkColor = Color & 0xFFFFFF;
    return Old;
}

COLORREF GetTextColor(const HDC& DC) {
    return CheckDC(DC) ? DC->TextColor : CLR_INVALID;
}
COLORREF GetBkColor(const HDC& DC) {
    return CheckDC(DC) ? DC->BkColor : CLR_INVALID;
}

bool GdiFlush() {
    return true;
}

// ---------------------------------------------------------------------------
// Raster operations

namespace {

// Puts colors and source values into the destination's format.
class TValueConverter {
public:
    TValueConverter(TBitmapObject& Dest, const HDC& DestDC) : FDest(Dest), FDestDC(DestDC) {
        if (Dest.BitCount <= 8 && !Dest.Monochrome) {
            auto S = TColorMapper::ForTable(Dest.ColorTable);
            FMapper = S.Mapper;
            FLock = std::unique_lock<std::mutex>(*S.Lock);
        }
    }

    uint32_t FromColor(COLORREF C, COLORREF SourceBk) {
        C &= 0xFFFFFF;
        switch (FDest.BitCount) {
        case 1:
        case 4:
        case 8:
            if (FDest.Monochrome) return C == SourceBk ? 1 : 0;
            return FMapper->Map(GetRValue(C), GetGValue(C), GetBValue(C));
        case 16:
            return PackMasked(GetRValue(C), FDest.RedMask) |
                   PackMasked(GetGValue(C), FDest.GreenMask) |
                   PackMasked(GetBValue(C), FDest.BlueMask);
        default:
            return SwapRB(C);
        }
    }

    // A table from every value of an indexed (or monochrome) source to destination values.
    void BuildIndexTable(const TBitmapObject& Src, const HDC& SrcDC) {
        int N = 1 << Src.BitCount;
        FIndexTable.assign(static_cast<size_t>(N), 0);
        bool SameTable = !Src.Monochrome && !FDest.Monochrome && Src.BitCount <= FDest.BitCount &&
                         FDest.BitCount <= 8 && Src.ColorTable == FDest.ColorTable;
        for (int v = 0; v < N; ++v) {
            if (SameTable) {
                FIndexTable[static_cast<size_t>(v)] = static_cast<uint32_t>(v);
            } else if (Src.Monochrome && FDest.Monochrome) {
                FIndexTable[static_cast<size_t>(v)] = static_cast<uint32_t>(v);
            } else if (Src.Monochrome) {
                // A monochrome source paints 0 in the text color and 1 in the background color.
                COLORREF C = v ? FDestDC->BkColor : FDestDC->TextColor;
                FIndexTable[static_cast<size_t>(v)] = FromColor(C, 0x1000000);
            } else {
                FIndexTable[static_cast<size_t>(v)] =
                    FromColor(ValueToColor(Src, static_cast<uint32_t>(v)), SrcDC->BkColor);
            }
        }
    }
    const std::vector<uint32_t>& IndexTable() const { return FIndexTable; }
    TColorMapper* Mapper() { return FMapper.get(); }

private:
    TBitmapObject& FDest;
    const HDC& FDestDC;
    std::shared_ptr<TColorMapper> FMapper;
    std::unique_lock<std::mutex> FLock;
    std::vector<uint32_t> FIndexTable;
};

// Combines source and destination bits by a raster operation (no pattern is involved).
inline uint32_t ApplyRop(uint32_t Rop, uint32_t S, uint32_t D) {
    uint32_t Index = (Rop >> 16) & 0xFF;
    // With no pattern (P = 0) the low four bits of the index give f(S, D) at bit 2S + D.
    uint32_t R = 0;
    if (Index & 1) R |= ~S & ~D;
    if (Index & 2) R |= ~S & D;
    if (Index & 4) R |= S & ~D;
    if (Index & 8) R |= S & D;
    return R;
}

inline uint32_t ValueMask(const TBitmapObject& B) {
    return B.BitCount >= 24 ? 0xFFFFFF : B.BitCount == 16 ? 0xFFFF : (1u << B.BitCount) - 1;
}

inline bool RopUsesSource(uint32_t Rop) {
    uint32_t I = (Rop >> 16) & 0xFF;
    return ((I >> 2) & 0x33) != (I & 0x33);
}

struct TBlitGeometry {
    int32_t X, Y, W, H;     // destination (positive sizes)
    int32_t SX, SY, SW, SH; // source (positive sizes)
    bool FlipX = false, FlipY = false;
};

// Source column (or row) for destination offset i of n, sampling without averaging.
inline int32_t SampleIndex(int32_t i, int32_t n, int32_t srcN, bool Flip) {
    int32_t k = static_cast<int32_t>((static_cast<int64_t>(2 * i + 1) * srcN) / (2 * int64_t{n}));
    return Flip ? srcN - 1 - k : k;
}

// One destination pixel's span [Lo, Hi) of source offsets (at least one).
inline void SpanOf(int32_t i, int32_t n, int32_t srcN, bool Flip, int32_t& Lo, int32_t& Hi) {
    Lo = static_cast<int32_t>((static_cast<int64_t>(i) * srcN) / n);
    Hi = static_cast<int32_t>((static_cast<int64_t>(i + 1) * srcN) / n);
    if (Hi <= Lo) Hi = Lo + 1;
    if (Flip) {
        int32_t L = srcN - Hi, H = srcN - Lo;
        Lo = L;
        Hi = H;
    }
}

bool DoStretch(const HDC& Dest, const HDC& Source, TBlitGeometry G, uint32_t Rop,
               const HBITMAP& Mask, int32_t MaskX, int32_t MaskY, uint32_t BackRop) {
    TBitmapObject* D = Dest->Bitmap.get();
    if (!D || D->Width == 0 || D->Height == 0 || G.W == 0 || G.H == 0) return true;
    bool UsesSource = RopUsesSource(Rop) || (Mask && RopUsesSource(BackRop));
    TBitmapObject* S = UsesSource && Source ? Source->Bitmap.get() : nullptr;
    if (UsesSource && !S) {
        // A screen DC shows nothing that could be read.
        return true;
    }
    if (UsesSource && (G.SW == 0 || G.SH == 0)) return true;
    int Mode = Dest->StretchMode;
    bool Stretching = UsesSource && (G.SW != G.W || G.SH != G.H);

    TValueConverter Conv(*D, Dest);
    bool SourceIndexed = S && S->BitCount <= 8;
    if (SourceIndexed) Conv.BuildIndexTable(*S, Source);
    const uint32_t DMask = ValueMask(*D);
    const COLORREF SrcBk = Source ? Source->BkColor : 0xFFFFFF;

    // Destination columns inside the destination bitmap.
    int32_t X0 = std::max(G.X, 0), X1 = std::min(G.X + G.W, D->Width);
    int32_t Y0 = std::max(G.Y, 0), Y1 = std::min(G.Y + G.H, D->Height);
    if (X0 >= X1 || Y0 >= Y1) return true;
    int32_t N = X1 - X0;

    // Source column per destination column (-1 outside the source bitmap).
    std::vector<int32_t> Cols(static_cast<size_t>(N), 0);
    std::vector<int32_t> SpanLo, SpanHi;
    bool Combine = Stretching &&
                   (Mode == BLACKONWHITE || Mode == WHITEONBLACK || Mode == HALFTONE) &&
                   (G.SW > G.W || G.SH > G.H);
    if (S) {
        for (int32_t x = X0; x < X1; ++x) {
            int32_t sx = G.SX + SampleIndex(x - G.X, G.W, G.SW, G.FlipX);
            Cols[static_cast<size_t>(x - X0)] = (sx >= 0 && sx < S->Width) ? sx : -1;
        }
        if (Combine) {
            SpanLo.resize(static_cast<size_t>(N));
            SpanHi.resize(static_cast<size_t>(N));
            for (int32_t x = X0; x < X1; ++x) {
                int32_t Lo, Hi;
                SpanOf(x - G.X, G.W, G.SW, G.FlipX, Lo, Hi);
                SpanLo[static_cast<size_t>(x - X0)] = std::clamp(G.SX + Lo, 0, S->Width);
                SpanHi[static_cast<size_t>(x - X0)] = std::clamp(G.SX + Hi, 0, S->Width);
            }
        }
    }

    std::vector<uint32_t> Vals(static_cast<size_t>(N), 0);
    std::vector<uint8_t> Have(static_cast<size_t>(N), 1);
    auto SourceValue = [&](const uint8_t* Row, int32_t sx) -> uint32_t {
        uint32_t V = ReadValue(*S, Row, sx);
        if (SourceIndexed) return V < Conv.IndexTable().size() ? Conv.IndexTable()[V] : 0;
        return Conv.FromColor(ValueToColor(*S, V), SrcBk);
    };

    for (int32_t y = Y0; y < Y1; ++y) {
        uint8_t* DRow = D->Row(y);
        bool RowValid = true;
        int32_t CurrentSY = G.SY + (y - G.Y);
        if (S) {
            int32_t sy = G.SY + SampleIndex(y - G.Y, G.H, G.SH, G.FlipY);
            CurrentSY = sy;
            if (sy < 0 || sy >= S->Height) RowValid = false;
            if (RowValid && !Combine) {
                const uint8_t* SRow = S->Row(sy);
                // The common cases get loops of their own.
                if (S->BitCount == 24 && D->BitCount == 8 && !D->Monochrome) {
                    TColorMapper* M = Conv.Mapper();
                    for (int32_t i = 0; i < N; ++i) {
                        int32_t sx = Cols[static_cast<size_t>(i)];
                        if (sx < 0) {
                            Have[static_cast<size_t>(i)] = 0;
                            continue;
                        }
                        const uint8_t* P = SRow + 3 * sx;
                        Vals[static_cast<size_t>(i)] = M->Map(P[2], P[1], P[0]);
                    }
                } else if (S->BitCount == 32 && D->BitCount == 8 && !D->Monochrome) {
                    TColorMapper* M = Conv.Mapper();
                    for (int32_t i = 0; i < N; ++i) {
                        int32_t sx = Cols[static_cast<size_t>(i)];
                        if (sx < 0) {
                            Have[static_cast<size_t>(i)] = 0;
                            continue;
                        }
                        const uint8_t* P = SRow + 4 * sx;
                        Vals[static_cast<size_t>(i)] = M->Map(P[2], P[1], P[0]);
                    }
                } else if (SourceIndexed) {
                    const auto& T = Conv.IndexTable();
                    for (int32_t i = 0; i < N; ++i) {
                        int32_t sx = Cols[static_cast<size_t>(i)];
                        if (sx < 0) {
                            Have[static_cast<size_t>(i)] = 0;
                            continue;
                        }
                        Vals[static_cast<size_t>(i)] = T[ReadValue(*S, SRow, sx)];
                    }
                } else if ((S->BitCount == 24 || S->BitCount == 32) &&
                           (D->BitCount == 24 || D->BitCount == 32)) {
                    int BS = S->BitCount / 8;
                    for (int32_t i = 0; i < N; ++i) {
                        int32_t sx = Cols[static_cast<size_t>(i)];
                        if (sx < 0) {
                            Have[static_cast<size_t>(i)] = 0;
                            continue;
                        }
                        const uint8_t* P = SRow + BS * sx;
                        Vals[static_cast<size_t>(i)] =
                            static_cast<uint32_t>(P[0] | (P[1] << 8) | (P[2] << 16));
                    }
                } else {
                    for (int32_t i = 0; i < N; ++i) {
                        int32_t sx = Cols[static_cast<size_t>(i)];
                        if (sx < 0) {
                            Have[static_cast<size_t>(i)] = 0;
                            continue;
                        }
                        Vals[static_cast<size_t>(i)] = SourceValue(SRow, sx);
                    }
                }
            } else if (RowValid && Combine) {
                int32_t Lo, Hi;
                SpanOf(y - G.Y, G.H, G.SH, G.FlipY, Lo, Hi);
                Lo = std::clamp(G.SY + Lo, 0, S->Height);
                Hi = std::clamp(G.SY + Hi, 0, S->Height);
                for (int32_t i = 0; i < N; ++i) {
                    int32_t XL = SpanLo[static_cast<size_t>(i)],
                            XH = SpanHi[static_cast<size_t>(i)];
                    if (XL >= XH || Lo >= Hi) {
                        Have[static_cast<size_t>(i)] = 0;
                        continue;
                    }
                    if (Mode == HALFTONE) {
                        uint64_t R = 0, Gs = 0, B = 0, Cnt = 0;
                        for (int32_t sy2 = Lo; sy2 < Hi; ++sy2) {
                            const uint8_t* SRow = S->Row(sy2);
                            for (int32_t sx = XL; sx < XH; ++sx) {
                                COLORREF C = ValueToColor(*S, ReadValue(*S, SRow, sx));
                                if (S->Monochrome)
                                    C = ReadValue(*S, SRow, sx) ? Dest->BkColor : Dest->TextColor;
                                R += GetRValue(C);
                                Gs += GetGValue(C);
                                B += GetBValue(C);
                                ++Cnt;
                            }
                        }
                        COLORREF Avg = RGB(static_cast<uint8_t>((R + Cnt / 2) / Cnt),
                                           static_cast<uint8_t>((Gs + Cnt / 2) / Cnt),
                                           static_cast<uint8_t>((B + Cnt / 2) / Cnt));
                        Vals[static_cast<size_t>(i)] = Conv.FromColor(Avg, SrcBk);
                    } else {
                        // Eliminated pixels are and-ed (black wins) or or-ed (white wins).
                        uint32_t Acc = Mode == BLACKONWHITE ? DMask : 0;
                        for (int32_t sy2 = Lo; sy2 < Hi; ++sy2) {
                            const uint8_t* SRow = S->Row(sy2);
                            for (int32_t sx = XL; sx < XH; ++sx) {
                                uint32_t V = SourceValue(SRow, sx);
                                Acc = Mode == BLACKONWHITE ? (Acc & V) : (Acc | V);
                            }
                        }
                        Vals[static_cast<size_t>(i)] = Acc;
                    }
                }
            }
        }
        if (!RowValid) continue;

        // The mask is read at the source pixel's place (relative to the source origin).
        const uint8_t* MRow = nullptr;
        if (Mask) {
            int32_t MY = MaskY + (CurrentSY - G.SY);
            MRow = (MY >= 0 && MY < Mask->Height) ? Mask->Row(MY) : nullptr;
        }

        if (Rop == SRCCOPY && !Mask && D->BitCount == 8) {
            for (int32_t i = 0; i < N; ++i)
                if (Have[static_cast<size_t>(i)])
                    DRow[X0 + i] = static_cast<uint8_t>(Vals[static_cast<size_t>(i)]);
        } else {
            for (int32_t i = 0; i < N; ++i) {
                if (!Have[static_cast<size_t>(i)]) continue;
                int32_t x = X0 + i;
                uint32_t R = Rop;
                if (Mask) {
                    int32_t MX =
                        MaskX + ((S ? Cols[static_cast<size_t>(i)] : x - G.X + G.SX) - G.SX);
                    bool Bit = MRow && MX >= 0 && MX < Mask->Width &&
                               ((MRow[MX >> 3] >> (7 - (MX & 7))) & 1);
                    // A set mask bit takes the foreground operation.
                    R = Bit ? Rop : BackRop;
                }
                uint32_t V;
                if (((R >> 16) & 0xFF) == 0xCC) {
                    V = Vals[static_cast<size_t>(i)];
                } else {
                    uint32_t DV = ReadValue(*D, DRow, x);
                    V = ApplyRop(R, Vals[static_cast<size_t>(i)], DV) & DMask;
                }
                WriteValue(*D, DRow, x, V);
            }
        }
        std::fill(Have.begin(), Have.end(), 1);
    }
    return true;
}

bool MakeGeometry(int32_t X, int32_t Y, int32_t W, int32_t H, int32_t SX, int32_t SY, int32_t SW,
                  int32_t SH, TBlitGeometry& G) {
    G = TBlitGeometry{X, Y, W, H, SX, SY, SW, SH};
    if (G.W < 0) {
        G.X += G.W + 1;
        G.W = -G.W;
        G.FlipX = !G.FlipX;
    }
    if (G.H < 0) {
        G.Y += G.H + 1;
        G.H = -G.H;
        G.FlipY = !G.FlipY;
    }
    if (G.SW < 0) {
        G.SX += G.SW + 1;
        G.SW = -G.SW;
        G.FlipX = !G.FlipX;
    }
    if (G.SH < 0) {
        G.SY += G.SH + 1;
        G.SH = -G.SH;
        G.FlipY = !G.FlipY;
    }
    return true;
}

bool CheckBlitDCs(const HDC& Dest, const HDC& Source, uint32_t Rop) {
    if (!CheckDC(Dest)) return false;
    if (RopUsesSource(Rop) && !CheckDC(Source)) return false;
    return true;
}

// When source and destination are the same bitmap, the source is read from a copy.
HDC StableSource(const HDC& Dest, const HDC& Source) {
    if (Source && Dest && Source->Bitmap && Source->Bitmap == Dest->Bitmap) {
        auto Copy = std::make_shared<TDeviceContext>(TDeviceContext::dcMemory);
        Copy->Bitmap = Source->Bitmap->Clone();
        Copy->BkColor = Source->BkColor;
        Copy->TextColor = Source->TextColor;
        return Copy;
    }
    return Source;
}

} // namespace

bool BitBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height, const HDC& Source,
            int32_t SrcX, int32_t SrcY, uint32_t Rop) {
    if (!CheckBlitDCs(Dest, Source, Rop)) return false;
    TBlitGeometry G;
    MakeGeometry(X, Y, std::abs(Width), std::abs(Height), SrcX, SrcY, std::abs(Width),
                 std::abs(Height), G);
    HDC Src = StableSource(Dest, Source);
    return DoStretch(Dest, Src, G, Rop, nullptr, 0, 0, Rop);
}

bool StretchBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                const HDC& Source, int32_t SrcX, int32_t SrcY, int32_t SrcWidth, int32_t SrcHeight,
                uint32_t Rop) {
    if (!CheckBlitDCs(Dest, Source, Rop)) return false;
    TBlitGeometry G;
    MakeGeometry(X, Y, Width, Height, SrcX, SrcY, SrcWidth, SrcHeight, G);
    HDC Src = StableSource(Dest, Source);
    return DoStretch(Dest, Src, G, Rop, nullptr, 0, 0, Rop);
}

bool MaskBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
             const HDC& Source, int32_t SrcX, int32_t SrcY, const HBITMAP& Mask, int32_t MaskX,
             int32_t MaskY, uint32_t Rop4) {
    uint32_t Fore = Rop4 & 0x00FFFFFF;
    uint32_t Back = ((Rop4 >> 8) & 0x00FF0000) | (Fore & 0xFFFF);
    if (!CheckBlitDCs(Dest, Source, Fore | Back)) return false;
    if (Mask && !Mask->Monochrome && Mask->BitCount != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    TBlitGeometry G;
    MakeGeometry(X, Y, std::abs(Width), std::abs(Height), SrcX, SrcY, std::abs(Width),
                 std::abs(Height), G);
    HDC Src = StableSource(Dest, Source);
    if (!Mask) return DoStretch(Dest, Src, G, Fore, nullptr, 0, 0, Fore);
    return DoStretch(Dest, Src, G, Fore, Mask, MaskX, MaskY, Back);
}

bool FillRectColor(const HDC& DC, const TRect& R, COLORREF Color) {
    if (!CheckDC(DC)) return false;
    TBitmapObject* D = DC->Bitmap.get();
    if (!D) return true;
    TRect Bounds{0, 0, D->Width, D->Height}, C;
    if (!IntersectRect(C, Bounds, R)) return true;
    TValueConverter Conv(*D, DC);
    uint32_t V = Conv.FromColor(Color, 0xFFFFFF);
    if (D->Monochrome) V = (Color & 0xFFFFFF) == 0xFFFFFF ? 1 : 0;
    for (int32_t y = C.Top; y < C.Bottom; ++y) {
        uint8_t* Row = D->Row(y);
        if (D->BitCount == 8) {
            std::memset(Row + C.Left, static_cast<int>(V), static_cast<size_t>(C.Width()));
        } else {
            for (int32_t x = C.Left; x < C.Right; ++x) WriteValue(*D, Row, x, V);
        }
    }
    return true;
}

COLORREF GetPixel(const HDC& DC, int32_t X, int32_t Y) {
    if (!CheckDC(DC)) return CLR_INVALID;
    const TBitmapObject* B = DC->Bitmap.get();
    if (!B || X < 0 || Y < 0 || X >= B->Width || Y >= B->Height) return CLR_INVALID;
    return B->PixelColor(X, Y);
}

COLORREF SetPixel(const HDC& DC, int32_t X, int32_t Y, COLORREF Color) {
    if (!CheckDC(DC)) return CLR_INVALID;
    TBitmapObject* B = DC->Bitmap.get();
    if (!B || X < 0 || Y < 0 || X >= B->Width || Y >= B->Height) return CLR_INVALID;
    TValueConverter Conv(*B, DC);
    uint32_t V =
        B->Monochrome ? ((Color & 0xFFFFFF) == 0xFFFFFF ? 1 : 0) : Conv.FromColor(Color, 0);
    WriteValue(*B, B->Row(Y), X, V);
    return B->PixelColor(X, Y);
}

bool TransparentStretchBlt(const HDC& Dest, int32_t X, int32_t Y, int32_t Width, int32_t Height,
                           const HDC& Source, int32_t SrcX, int32_t SrcY, int32_t SrcWidth,
                           int32_t SrcHeight, const HBITMAP& Mask, int32_t MaskX, int32_t MaskY) {
    if (!CheckBlitDCs(Dest, Source, SRCCOPY)) return false;
    if (Mask && !Mask->Monochrome && Mask->BitCount != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    TBlitGeometry G;
    MakeGeometry(X, Y, Width, Height, SrcX, SrcY, SrcWidth, SrcHeight, G);
    HDC Src = StableSource(Dest, Source);
    if (!Mask) return DoStretch(Dest, Src, G, SRCCOPY, nullptr, 0, 0, SRCCOPY);
    return DoStretch(Dest, Src, G, DSTCOPY, Mask, MaskX, MaskY, SRCCOPY);
}

} // namespace mv

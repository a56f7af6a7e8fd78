// Colors, logical palettes, the stock and halftone palettes, and exact nearest-color mapping.
#include "platform/Graphics.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <cstring>
#include <list>

namespace mv {

// ---------------------------------------------------------------------------
// Colors and rectangles

COLORREF GetSysColor(int Index) {
    // A fixed light scheme.
    switch (Index) {
    case COLOR_WINDOW:
        return 0xFFFFFF;
    case COLOR_WINDOWTEXT:
        return 0x000000;
    case COLOR_BTNFACE:
        return 0xF0F0F0;
    case 0:
        return 0xC8C8C8; // scroll bar
    case 1:
        return 0x000000; // desktop
    case 2:
        return 0xD1B499; // active caption
    case 3:
        return 0xDBCDBF; // inactive caption
    case 4:
        return 0xF0F0F0; // menu
    case 6:
        return 0x646464; // window frame
    case 7:
        return 0x000000; // menu text
    case 9:
        return 0x000000; // caption text
    case 13:
        return 0xFF9933; // highlight
    case 14:
        return 0xFFFFFF; // highlight text
    case 16:
        return 0xA0A0A0; // button shadow
    case 17:
        return 0x6D6D6D; // gray text
    case 18:
        return 0x000000; // button text
    case 20:
        return 0xFFFFFF; // button highlight
    default:
        return 0x000000;
    }
}

TColor ColorToRGB(TColor Color) {
    if (Color < 0) return static_cast<TColor>(GetSysColor(Color & 0xFF));
    return Color;
}

bool IntersectRect(TRect& R, const TRect& A, const TRect& B) {
    R.Left = std::max(A.Left, B.Left);
    R.Top = std::max(A.Top, B.Top);
    R.Right = std::min(A.Right, B.Right);
    R.Bottom = std::min(A.Bottom, B.Bottom);
    if (R.IsEmpty()) {
        R = TRect{};
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// GDI objects

bool DeleteObject(HGDIOBJ Object) {
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

uint32_t GetObjectType(const HGDIOBJ& Object) {
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    // A released or deleted device context is no object any more.
    if (auto DC = HandleCast<TDeviceContext>(Object); DC && !DC->Valid) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return Object->ObjectType();
}

int GetObject(const HGDIOBJ& Object, int Size, void* Buffer) {
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (auto Pal = HandleCast<TPaletteObject>(Object)) {
        if (!Buffer) return 2;
        if (Size < 2) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        uint16_t Count = static_cast<uint16_t>(Pal->Entries().size());
        std::memcpy(Buffer, &Count, 2);
        return 2;
    }
    if (auto Bmp = HandleCast<TBitmapObject>(Object)) {
        int Need = static_cast<int>(sizeof(BITMAP));
        if (!Buffer) return Need;
        if (Size < Need) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        BITMAP B;
        B.bmWidth = Bmp->Width;
        B.bmHeight = Bmp->Height;
        B.bmWidthBytes = Bmp->Stride;
        B.bmPlanes = 1;
        B.bmBitsPixel = static_cast<uint16_t>(Bmp->BitCount);
        B.bmBits = Bmp->DIB ? Bmp->Bits() : nullptr;
        std::memcpy(Buffer, &B, sizeof B);
        return Need;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

// ---------------------------------------------------------------------------
// Palettes

void TPaletteObject::SetEntries(std::vector<TPaletteEntry> Entries) {
    FEntries = std::move(Entries);
    ++FVersion;
}

HPALETTE CreatePalette(const TPaletteEntry* Entries, int Count) {
    if (!Entries || Count <= 0 || Count > 65535) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return std::make_shared<TPaletteObject>(std::vector<TPaletteEntry>(Entries, Entries + Count));
}

HPALETTE CreatePalette(const TLogPalette& LogPalette) {
    if (LogPalette.palVersion != 0x300 || LogPalette.palNumEntries == 0 ||
        LogPalette.palPalEntry.size() < LogPalette.palNumEntries) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreatePalette(LogPalette.palPalEntry.data(), LogPalette.palNumEntries);
}

uint32_t GetPaletteEntries(const HPALETTE& Palette, uint32_t StartIndex, uint32_t Count,
                           TPaletteEntry* Entries) {
    if (!Palette) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const auto& E = Palette->Entries();
    if (!Entries) return static_cast<uint32_t>(E.size());
    if (StartIndex >= E.size()) return 0;
    uint32_t N = std::min<uint32_t>(Count, static_cast<uint32_t>(E.size()) - StartIndex);
    std::copy_n(E.begin() + StartIndex, N, Entries);
    return N;
}

uint32_t SetPaletteEntries(const HPALETTE& Palette, uint32_t StartIndex, uint32_t Count,
                           const TPaletteEntry* Entries) {
    if (!Palette || !Entries) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto E = Palette->Entries();
    if (StartIndex >= E.size()) return 0;
    uint32_t N = std::min<uint32_t>(Count, static_cast<uint32_t>(E.size()) - StartIndex);
    std::copy_n(Entries, N, E.begin() + StartIndex);
    Palette->SetEntries(std::move(E));
    return N;
}

uint32_t GetNearestPaletteIndex(const HPALETTE& Palette, COLORREF Color) {
    if (!Palette || Palette->Entries().empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return CLR_INVALID;
    }
    const auto& E = Palette->Entries();
    uint32_t Best = 0;
    int32_t BestD = INT32_MAX;
    int R = GetRValue(Color), G = GetGValue(Color), B = GetBValue(Color);
    for (size_t i = 0; i < E.size(); ++i) {
        int dr = R - E[i].peRed, dg = G - E[i].peGreen, db = B - E[i].peBlue;
        int32_t D = dr * dr + dg * dg + db * db;
        if (D < BestD) {
            BestD = D;
            Best = static_cast<uint32_t>(i);
        }
    }
    return Best;
}

HPALETTE CopyPalette(const HPALETTE& Palette) {
    if (!Palette) return nullptr;
    return std::make_shared<TPaletteObject>(Palette->Entries());
}

namespace {

// The 20 static colors of the system palette: the first ten and the last ten.
const TPaletteEntry StaticColors[20] = {
    {0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},     {128, 128, 0, 0},
    {0, 0, 128, 0},     {128, 0, 128, 0},   {0, 128, 128, 0},   {192, 192, 192, 0},
    {192, 220, 192, 0}, {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
    {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},     {255, 255, 0, 0},
    {0, 0, 255, 0},     {255, 0, 255, 0},   {0, 255, 255, 0},   {255, 255, 255, 0},
};

std::vector<TPaletteEntry> HalftoneEntries() {
    std::vector<TPaletteEntry> E;
    E.reserve(256);
    for (int i = 0; i < 10; ++i) E.push_back(StaticColors[i]);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                E.push_back({static_cast<uint8_t>(51 * r), static_cast<uint8_t>(51 * g),
                             static_cast<uint8_t>(51 * b), 0});
    for (int k = 1; k <= 20; ++k) {
        uint8_t v = static_cast<uint8_t>((255 * k + 10) / 21);
        E.push_back({v, v, v, 0});
    }
    for (int i = 10; i < 20; ++i) E.push_back(StaticColors[i]);
    return E;
}

} // namespace

HPALETTE CreateHalftonePalette(const HDC&) {
    return std::make_shared<TPaletteObject>(HalftoneEntries());
}

HPALETTE DefaultPalette() {
    static const HPALETTE Stock = std::make_shared<TPaletteObject>(
        std::vector<TPaletteEntry>(StaticColors, StaticColors + 20));
    return Stock;
}

HPALETTE SystemPalette16() {
    static const HPALETTE Palette16 = [] {
        std::vector<TPaletteEntry> E(StaticColors, StaticColors + 8);
        E.insert(E.end(), StaticColors + 12, StaticColors + 20);
        return std::make_shared<TPaletteObject>(std::move(E));
    }();
    return Palette16;
}

HGDIOBJ GetStockObject(int Index) {
    if (Index == DEFAULT_PALETTE) return DefaultPalette();
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

std::vector<RGBQUAD> PaletteToColorTable(const HPALETTE& Palette) {
    std::vector<RGBQUAD> T;
    if (!Palette) return T;
    T.reserve(Palette->Entries().size());
    for (const auto& E : Palette->Entries()) T.push_back({E.peBlue, E.peGreen, E.peRed, 0});
    return T;
}

HPALETTE ColorTableToPalette(const RGBQUAD* Table, int Count) {
    if (!Table || Count <= 0) return nullptr;
    std::vector<TPaletteEntry> E;
    E.reserve(static_cast<size_t>(Count));
    for (int i = 0; i < Count; ++i)
        E.push_back({Table[i].rgbRed, Table[i].rgbGreen, Table[i].rgbBlue, 0});
    return std::make_shared<TPaletteObject>(std::move(E));
}

// ---------------------------------------------------------------------------
// Nearest-color mapping

namespace {
constexpr int CellBits = 5;                // 32 cells per channel, each 8 values wide
constexpr int CellWidth = 256 >> CellBits; // 32
constexpr uint32_t CellCount = 1u << (3 * CellBits);

int32_t Dist2(int R, int G, int B, const RGBQUAD& Q) {
    int dr = R - Q.rgbRed, dg = G - Q.rgbGreen, db = B - Q.rgbBlue;
    return dr * dr + dg * dg + db * db;
}

// Squared distance from v to the interval [Lo, Hi] along one axis, and to its far end.
inline int32_t NearAxis(int v, int Lo, int Hi) {
    int d = v < Lo ? Lo - v : v > Hi ? v - Hi : 0;
    return d * d;
}
inline int32_t FarAxis(int v, int Lo, int Hi) {
    int d = std::max(std::abs(v - Lo), std::abs(v - Hi));
    return d * d;
}
} // namespace

TColorMapper::TColorMapper(std::vector<RGBQUAD> Table)
    : FTable(std::move(Table)), FCellStart(CellCount, -1) {
    if (FTable.size() > 256) FTable.resize(256);
}

uint8_t TColorMapper::MapSlow(uint8_t R, uint8_t G, uint8_t B) const {
    int32_t BestD = INT32_MAX;
    uint8_t Best = 0;
    for (size_t i = 0; i < FTable.size(); ++i) {
        int32_t D = Dist2(R, G, B, FTable[i]);
        if (D < BestD) {
            BestD = D;
            Best = static_cast<uint8_t>(i);
        }
    }
    return Best;
}

void TColorMapper::BuildCell(uint32_t Cell) {
    // An entry can be nearest for some color of the cell only if its smallest distance to the
    // cell is at most the smallest largest-distance of any entry to the cell.
    int R0 = static_cast<int>((Cell >> (2 * CellBits)) & ((1 << CellBits) - 1)) * CellWidth;
    int G0 = static_cast<int>((Cell >> CellBits) & ((1 << CellBits) - 1)) * CellWidth;
    int B0 = static_cast<int>(Cell & ((1 << CellBits) - 1)) * CellWidth;
    int R1 = R0 + CellWidth - 1, G1 = G0 + CellWidth - 1, B1 = B0 + CellWidth - 1;
    int32_t MinFar = INT32_MAX;
    std::vector<int32_t> Near(FTable.size());
    for (size_t i = 0; i < FTable.size(); ++i) {
        const RGBQUAD& Q = FTable[i];
        Near[i] =
            NearAxis(Q.rgbRed, R0, R1) + NearAxis(Q.rgbGreen, G0, G1) + NearAxis(Q.rgbBlue, B0, B1);
        int32_t Far =
            FarAxis(Q.rgbRed, R0, R1) + FarAxis(Q.rgbGreen, G0, G1) + FarAxis(Q.rgbBlue, B0, B1);
        MinFar = std::min(MinFar, Far);
    }
    FCellStart[Cell] = static_cast<int32_t>(FCandidates.size());
    size_t CountAt = FCandidates.size();
    FCandidates.push_back(0);
    int N = 0;
    for (size_t i = 0; i < FTable.size(); ++i)
        if (Near[i] <= MinFar) {
            FCandidates.push_back(static_cast<uint8_t>(i));
            ++N;
        }
    // 256 candidates cannot be counted in a byte; 0 then means "all of them".
    FCandidates[CountAt] = static_cast<uint8_t>(N == 256 ? 0 : N);
}

uint8_t TColorMapper::Map(uint8_t R, uint8_t G, uint8_t B) {
    if (FTable.empty()) return 0;
    uint32_t Cell = (uint32_t{R} >> (8 - CellBits) << (2 * CellBits)) |
                    (uint32_t{G} >> (8 - CellBits) << CellBits) | (uint32_t{B} >> (8 - CellBits));
    if (FCellStart[Cell] < 0) BuildCell(Cell);
    const uint8_t* P = FCandidates.data() + FCellStart[Cell];
    int N = P[0] == 0 ? 256 : P[0];
    ++P;
    int32_t BestD = INT32_MAX;
    uint8_t Best = 0;
    // Candidates are in index order, so a strict comparison keeps the lowest index on ties.
    for (int i = 0; i < N; ++i) {
        int32_t D = Dist2(R, G, B, FTable[P[i]]);
        if (D < BestD) {
            BestD = D;
            Best = P[i];
        }
    }
    return Best;
}

TColorMapper::TShared TColorMapper::ForTable(const std::vector<RGBQUAD>& Table) {
    // A few recently used tables keep their mappers, so repeated blits into bitmaps with the
    // same table (the halftone one above all) build each cell once.
    struct TEntry {
        std::vector<RGBQUAD> Table;
        std::shared_ptr<TColorMapper> Mapper;
        std::unique_ptr<std::mutex> Lock;
    };
    static std::mutex CacheLock;
    static std::list<TEntry> Cache;
    constexpr size_t MaxEntries = 8;
    std::lock_guard<std::mutex> Guard(CacheLock);
    for (auto It = Cache.begin(); It != Cache.end(); ++It)
        if (It->Table == Table) {
            Cache.splice(Cache.begin(), Cache, It);
            return {Cache.front().Mapper, Cache.front().Lock.get()};
        }
    if (Cache.size() >= MaxEntries) {
        // A mapper in use elsewhere keeps itself alive; its lock must live as long, so the
        // entry is only dropped when nobody else holds the mapper.
        for (auto It = std::prev(Cache.end());; --It) {
            if (It->Mapper.use_count() == 1) {
                Cache.erase(It);
                break;
            }
            if (It == Cache.begin()) break;
        }
    }
    Cache.push_front(
        {Table, std::make_shared<TColorMapper>(Table), std::make_unique<std::mutex>()});
    return {Cache.front().Mapper, Cache.front().Lock.get()};
}

} // namespace mv

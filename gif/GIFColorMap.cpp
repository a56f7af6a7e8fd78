#include "gif/GIFColorMap.h"

#include "gif/GIFFrame.h"
#include "gif/GIFHeader.h"
#include "gif/GIFImage.h"

#include <cstring>

namespace mv {

void ColorToTriple(TColor Color, uint8_t& Red, uint8_t& Green, uint8_t& Blue) {
    uint32_t C = static_cast<uint32_t>(Color);
    Red = static_cast<uint8_t>(C);
    Green = static_cast<uint8_t>(C >> 8);
    Blue = static_cast<uint8_t>(C >> 16);
}

TColor TripleToColor(uint8_t Red, uint8_t Green, uint8_t Blue) {
    return static_cast<TColor>(uint32_t{Red} | (uint32_t{Green} << 8) | (uint32_t{Blue} << 16));
}

// ---------------------------------------------------------------------------
// TGIFColorMap

void TGIFColorMap::MakeEmpty() {
    FTriples.reset();
    FUsed = 0;
    FRoom = 0;
    FSorted = false;
}

void TGIFColorMap::Reserve(int32_t N) {
    if (N < FRoom) return;
    int32_t Room = N <= 16 ? 16 : (N + 31) / 32 * 32;
    if (Room > 256) Room = 256;
    auto Storage = std::make_unique<uint8_t[]>(static_cast<size_t>(Room) * 3);
    if (FTriples && FRoom > 0)
        std::memcpy(Storage.get(), FTriples.get(), static_cast<size_t>(std::min(FRoom, Room)) * 3);
    FTriples = std::move(Storage);
    FRoom = Room;
}

void TGIFColorMap::WriteTable(TStream& Stream) const {
    if (FUsed == 0) return;
    Stream.WriteBuffer(FTriples.get(), int64_t{FUsed} * 3);
    static const uint8_t Black[3] = {0, 0, 0};
    for (int32_t i = FUsed; i < (1 << IndexBits()); ++i) Stream.WriteBuffer(Black, 3);
}

void TGIFColorMap::ReadTable(TStream& Stream, int32_t N) {
    MakeEmpty();
    if (N <= 0) return;
    if (N > 256) N = 256;
    Reserve(N);
    ReadExact(Stream, FTriples.get(), int64_t{N} * 3);
    FUsed = N;
}

int32_t TGIFColorMap::Locate(TColor Color) const {
    uint8_t R, G, B;
    ColorToTriple(Color, R, G, B);
    auto Equal = [&](int32_t i) {
        const uint8_t* T = FTriples.get() + i * 3;
        return T[0] == R && T[1] == G && T[2] == B;
    };
    if (FSorted) {
        for (int32_t i = 0; i < FUsed; ++i)
            if (Equal(i)) return i;
    } else {
        for (int32_t i = FUsed - 1; i >= 0; --i)
            if (Equal(i)) return i;
    }
    return -1;
}

int32_t TGIFColorMap::Append(TColor Color) {
    if (FUsed >= 256) RaiseGIFError(gifmsg::ColorTableOverflow);
    if (FUsed >= FRoom) Reserve(FUsed + 1);
    uint8_t* T = FTriples.get() + FUsed * 3;
    ColorToTriple(Color, T[0], T[1], T[2]);
    ++FUsed;
    FSorted = false;
    NotifyChanged();
    return FUsed - 1;
}

int32_t TGIFColorMap::FindOrAppend(TColor Color) {
    int32_t Index = Locate(Color);
    return Index >= 0 ? Index : Append(Color);
}

void TGIFColorMap::DeleteAt(int32_t Index) {
    if (Index < 0 || Index >= FUsed) RaiseGIFError(gifmsg::InvalidColorIndex);
    --FUsed;
    if (Index < FUsed)
        std::memmove(FTriples.get() + Index * 3, FTriples.get() + (Index + 1) * 3,
                     static_cast<size_t>(FUsed - Index) * 3);
    FSorted = false;
    NotifyChanged();
}

TColor TGIFColorMap::ColorAt(int32_t Index) {
    if (Index < 0 || Index >= FUsed) {
        ReportWarning(1, gifmsg::InvalidColorIndex);
        if (FUsed == 0) RaiseGIFError(gifmsg::EmptyColorMap);
        Index = 0;
    }
    const uint8_t* T = FTriples.get() + Index * 3;
    return TripleToColor(T[0], T[1], T[2]);
}

void TGIFColorMap::FromPalette(HPALETTE Palette) {
    MakeEmpty();
    TPaletteEntry Entries[256];
    uint32_t N = Palette ? GetPaletteEntries(Palette, 0, 256, Entries) : 0;
    if (N == 0) return;
    if (N > 256) N = 256;
    Reserve(static_cast<int32_t>(N));
    for (uint32_t i = 0; i < N; ++i) {
        uint8_t* T = FTriples.get() + i * 3;
        T[0] = Entries[i].peRed;
        T[1] = Entries[i].peGreen;
        T[2] = Entries[i].peBlue;
    }
    FUsed = static_cast<int32_t>(N);
    NotifyChanged();
}

void TGIFColorMap::FromRGBQuads(const RGBQUAD* Quads, int32_t N) {
    MakeEmpty();
    if (N <= 0 || Quads == nullptr) return;
    if (N > 256) N = 256;
    Reserve(N);
    for (int32_t i = 0; i < N; ++i) {
        uint8_t* T = FTriples.get() + i * 3;
        T[0] = Quads[i].rgbRed;
        T[1] = Quads[i].rgbGreen;
        T[2] = Quads[i].rgbBlue;
    }
    FUsed = N;
    NotifyChanged();
}

void TGIFColorMap::FromDCColorTable(HDC DC) {
    MakeEmpty();
    RGBQUAD Quads[256];
    uint32_t N = GetDIBColorTable(DC, 0, 256, Quads);
    FromRGBQuads(Quads, static_cast<int32_t>(std::min<uint32_t>(N, 256)));
    NotifyChanged();
}

HPALETTE TGIFColorMap::ToPalette() const {
    if (FUsed == 0) return nullptr;
    TPaletteEntry Entries[256];
    for (int32_t i = 0; i < FUsed; ++i) {
        const uint8_t* T = FTriples.get() + i * 3;
        Entries[i] = TPaletteEntry{T[0], T[1], T[2], PC_NOCOLLAPSE};
    }
    return CreatePalette(Entries, FUsed);
}

void TGIFColorMap::Assign(TPersistent* Source) {
    auto* Map = dynamic_cast<TGIFColorMap*>(Source);
    if (!Map) {
        TPersistent::Assign(Source);
        return;
    }
    if (Map == this) return;
    MakeEmpty();
    FRoom = Map->FRoom;
    FUsed = Map->FUsed;
    FSorted = Map->FSorted;
    if (FRoom > 0) {
        FTriples = std::make_unique<uint8_t[]>(static_cast<size_t>(FRoom) * 3);
        std::memcpy(FTriples.get(), Map->FTriples.get(), static_cast<size_t>(FUsed) * 3);
    }
    NotifyChanged();
}

namespace {

// Quicksort by decreasing hits. The partition scheme is fixed: equal counts end up in the
// order it leaves them, and files written after a sort depend on that order.
void SortUsage(TColorUsage* U, int32_t L, int32_t R) {
    int32_t I;
    do {
        I = L;
        int32_t J = R;
        int32_t P = U[(L + R) >> 1].Hits;
        do {
            while (U[I].Hits > P) ++I;
            while (U[J].Hits < P) --J;
            if (I <= J) {
                std::swap(U[I], U[J]);
                ++I;
                --J;
            }
        } while (I <= J);
        if (L < J) SortUsage(U, L, J);
        L = I;
    } while (I < R);
}

} // namespace

bool TGIFColorMap::SortByUsage() {
    if (FUsed <= 1) return false;
    FSorted = true;
    TColorUsageArray Usage;
    for (int32_t i = 0; i < 256; ++i) Usage[i] = TColorUsage{0, i};
    CountUsage(Usage);
    SortUsage(Usage, 0, FUsed - 1);

    bool InOrder = true;
    for (int32_t i = 0; i < FUsed && InOrder; ++i) InOrder = Usage[i].OldIndex == i;
    if (InOrder) return true;

    // Pixels at or above the count keep their value.
    TColorRemap Map;
    for (int32_t i = 0; i < 256; ++i) Map[i] = static_cast<uint8_t>(i);
    for (int32_t i = 0; i < FUsed; ++i) Map[Usage[i].OldIndex] = static_cast<uint8_t>(i);
    RemapPixels(Map);

    uint8_t Old[256 * 3];
    std::memcpy(Old, FTriples.get(), static_cast<size_t>(FUsed) * 3);
    for (int32_t i = 0; i < FUsed; ++i) std::memcpy(FTriples.get() + Map[i] * 3, Old + i * 3, 3);

    for (int32_t i = 0; i < FUsed; ++i)
        if (Usage[i].Hits == 0) {
            FUsed = i;
            break;
        }
    NotifyChanged();
    return true;
}

// ---------------------------------------------------------------------------
// TGIFGlobalColorMap

TGIFGlobalColorMap::~TGIFGlobalColorMap() {
    MakeEmpty();
    NotifyChanged();
}

TGIFImage* TGIFGlobalColorMap::OwnerImage() const {
    return FOwnerHeader ? FOwnerHeader->Image() : nullptr;
}

void TGIFGlobalColorMap::ReportWarning(uint8_t Severity, const std::string& Message) {
    if (TGIFImage* Image = OwnerImage()) Image->ReportWarning(this, Severity, Message);
}

namespace {

template <class Fn> void ForFramesUsing(TGIFImage* Image, const TGIFColorMap* Map, Fn&& F) {
    if (!Image) return;
    for (int i = 0; i < Image->Frames().Count(); ++i) {
        TGIFSubImage* Frame = Image->Frames().FrameAt(i);
        if (&Frame->EffectiveMap() == Map) F(Frame);
    }
}

void CountFrame(TGIFSubImage* Frame, TColorUsageArray& Usage) {
    const uint8_t* P = Frame->IndexData();
    for (int32_t i = 0; P && i < Frame->IndexSize(); ++i) ++Usage[P[i]].Hits;
}

void RemapFrame(TGIFSubImage* Frame, const TColorRemap& Map) {
    uint8_t* P = Frame->IndexData();
    for (int32_t i = 0; P && i < Frame->IndexSize(); ++i) P[i] = Map[P[i]];
    if (Frame->HasTransparency() && Frame->ControlExtension()) {
        TGIFGraphicControlExtension* Control = Frame->ControlExtension();
        Control->SetTransparentSlot(Map[Control->TransparentSlot()]);
    }
}

} // namespace

void TGIFGlobalColorMap::CountUsage(TColorUsageArray& Usage) {
    for (int32_t i = 0; i < 256; ++i) Usage[i] = TColorUsage{0, i};
    ForFramesUsing(OwnerImage(), this, [&](TGIFSubImage* Frame) { CountFrame(Frame, Usage); });
}

void TGIFGlobalColorMap::RemapPixels(const TColorRemap& Map) {
    ForFramesUsing(OwnerImage(), this, [&](TGIFSubImage* Frame) { RemapFrame(Frame, Map); });
}

bool TGIFGlobalColorMap::Compact() {
    TGIFImage* Image = OwnerImage();
    if (!Image || Image->Frames().Count() == 0) return false;
    return SortByUsage();
}

void TGIFGlobalColorMap::NotifyChanged() {
    if (TGIFImage* Image = OwnerImage()) Image->SetPalette(nullptr);
}

// ---------------------------------------------------------------------------
// TGIFLocalColorMap

TGIFLocalColorMap::~TGIFLocalColorMap() {
    MakeEmpty();
    NotifyChanged();
}

void TGIFLocalColorMap::ReportWarning(uint8_t Severity, const std::string& Message) {
    if (FOwnerFrame && FOwnerFrame->Image())
        FOwnerFrame->Image()->ReportWarning(this, Severity, Message);
}

void TGIFLocalColorMap::CountUsage(TColorUsageArray& Usage) {
    for (int32_t i = 0; i < 256; ++i) Usage[i] = TColorUsage{0, i};
    if (FOwnerFrame) CountFrame(FOwnerFrame, Usage);
}

void TGIFLocalColorMap::RemapPixels(const TColorRemap& Map) {
    if (FOwnerFrame) RemapFrame(FOwnerFrame, Map);
}

bool TGIFLocalColorMap::Compact() {
    return SortByUsage();
}

void TGIFLocalColorMap::NotifyChanged() {
    if (FOwnerFrame) FOwnerFrame->SetPaletteHandle(nullptr);
}

} // namespace mv

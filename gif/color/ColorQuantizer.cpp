#include "gif/color/ColorQuantizer.h"

#include <algorithm>

namespace mv {

namespace {
constexpr size_t NodeBlockSize = 512;
}

TColorQuantizer::TColorQuantizer(int32_t MaxColors, int32_t ColorBits)
    : FMaxColors(std::clamp(MaxColors, 1, 256)), FColorBits(std::clamp(ColorBits, 0, 8)) {}

// The nodes live in FBlocks, which go with the quantizer: that frees the whole tree.
TColorQuantizer::~TColorQuantizer() = default;

TOctreeNode* TColorQuantizer::NewNode(int32_t Level) {
    TOctreeNode* Node;
    if (FFree) {
        Node = FFree;
        FFree = Node->Next;
    } else {
        if (FBlocks.empty() || FBlockUsed == NodeBlockSize) {
            FBlocks.push_back(std::make_unique<TOctreeNode[]>(NodeBlockSize));
            FBlockUsed = 0;
        }
        Node = &FBlocks.back()[FBlockUsed++];
    }
    *Node = TOctreeNode();
    if (Level == FColorBits) {
        Node->Leaf = true;
        ++FLeaves;
    } else {
        Node->Next = FReducible[Level];
        FReducible[Level] = Node;
    }
    return Node;
}

void TColorQuantizer::FreeNode(TOctreeNode* Node) {
    for (int I = 7; I >= 0; --I)
        if (Node->Children[I]) FreeNode(Node->Children[I]);
    Node->Next = FFree;
    FFree = Node;
}

void TColorQuantizer::InsertColor(uint8_t Red, uint8_t Green, uint8_t Blue) {
    uint32_t Color = uint32_t{Red} | (uint32_t{Green} << 8) | (uint32_t{Blue} << 16);
    TOctreeNode* Node;
    if (Color == FLastColor && FLastLeaf) {
        Node = FLastLeaf; // same path as last time, and no merge since
    } else {
        TOctreeNode** Slot = &FRoot;
        for (int32_t Level = 0;; ++Level) {
            Node = *Slot;
            if (!Node) Node = *Slot = NewNode(Level);
            if (Node->Leaf) break;
            int32_t Shift = 7 - Level;
            int32_t Index =
                (((Red >> Shift) & 1) << 2) | (((Green >> Shift) & 1) << 1) | ((Blue >> Shift) & 1);
            Slot = &Node->Children[Index];
        }
        FLastColor = Color;
        FLastLeaf = Node;
    }
    ++Node->PixelCount;
    Node->RedSum += Red;
    Node->GreenSum += Green;
    Node->BlueSum += Blue;
}

bool TColorQuantizer::MergeDeepestNode() {
    int32_t Level = FColorBits - 1;
    while (Level > 0 && !FReducible[Level]) --Level;
    if (Level < 0 || !FReducible[Level]) return false;
    TOctreeNode* Node = FReducible[Level];
    FReducible[Level] = Node->Next;
    Node->Next = nullptr;
    int32_t Merged = 0;
    for (TOctreeNode*& Child : Node->Children) {
        if (!Child) continue;
        Node->RedSum += Child->RedSum;
        Node->GreenSum += Child->GreenSum;
        Node->BlueSum += Child->BlueSum;
        Node->PixelCount += Child->PixelCount;
        FreeNode(Child);
        Child = nullptr;
        ++Merged;
    }
    Node->Leaf = true;
    FLeaves -= Merged - 1;
    FLastLeaf = nullptr; // the cached leaf may be gone
    return true;
}

void TColorQuantizer::AddPixels(const uint8_t* BGR, int32_t Count) {
    for (int32_t X = 0; X < Count; ++X, BGR += 3) {
        InsertColor(BGR[2], BGR[1], BGR[0]);
        while (FLeaves > FMaxColors)
            if (!MergeDeepestNode()) break;
    }
}

void TColorQuantizer::FillFrom(const TOctreeNode* Node, uint8_t*& Entry, int32_t& Count,
                               int32_t Capacity) const {
    if (Count >= Capacity) return;
    if (Node->Leaf) {
        if (Node->PixelCount > 0) {
            Entry[0] = static_cast<uint8_t>(Node->BlueSum / Node->PixelCount);
            Entry[1] = static_cast<uint8_t>(Node->GreenSum / Node->PixelCount);
            Entry[2] = static_cast<uint8_t>(Node->RedSum / Node->PixelCount);
        } else {
            Entry[0] = Entry[1] = Entry[2] = 0;
        }
        Entry[3] = 0;
        Entry += 4;
        ++Count;
        return;
    }
    for (const TOctreeNode* Child : Node->Children)
        if (Child) FillFrom(Child, Entry, Count, Capacity);
}

int32_t TColorQuantizer::FillColorTable(uint8_t* Table, int32_t Capacity) const {
    int32_t Count = 0;
    if (FRoot) FillFrom(FRoot, Table, Count, Capacity);
    return Count;
}

std::vector<TLookupEntry> OctreePaletteEntries(const TColorQuantizer& Q, bool SystemColors,
                                               const TLookupEntry* System20) {
    uint8_t Table[4 * 256];
    int32_t Leaves = Q.FillColorTable(Table, 256);
    std::vector<TLookupEntry> Entries;
    int32_t First = 0;
    if (SystemColors) {
        Entries.assign(256, TLookupEntry{});
        for (int I = 0; I < 10; ++I) {
            Entries[I] = System20[I];
            Entries[246 + I] = System20[10 + I];
        }
        First = 10;
        Leaves = std::min(Leaves, 236);
    } else {
        Entries.resize(Leaves);
    }
    for (int32_t I = 0; I < Leaves; ++I)
        Entries[First + I] = {Table[4 * I + 2], Table[4 * I + 1], Table[4 * I], 0};
    return Entries;
}

void TColorQuantizer::AddPicture(TDIBReader& Reader, int32_t Width, int32_t Height) {
    for (int32_t Row = 0; Row < Height; ++Row)
        AddPixels(static_cast<const uint8_t*>(Reader.RowAddress(Row)), Width);
}

HPALETTE PaletteFromEntries(const std::vector<TLookupEntry>& Entries) {
    if (Entries.empty()) return nullptr;
    TLogPalette Log;
    Log.palNumEntries = static_cast<uint16_t>(std::min<size_t>(Entries.size(), 256));
    Log.palPalEntry.reserve(Log.palNumEntries);
    for (size_t I = 0; I < Log.palNumEntries; ++I)
        Log.palPalEntry.push_back(
            {Entries[I].Red, Entries[I].Green, Entries[I].Blue, Entries[I].Flags});
    return CreatePalette(Log);
}

std::vector<TLookupEntry> StockPaletteEntries() {
    HPALETTE Stock = HandleCast<TPaletteObject>(GetStockObject(DEFAULT_PALETTE));
    TPaletteEntry Read[20];
    uint32_t Count = GetPaletteEntries(Stock, 0, 20, Read);
    std::vector<TLookupEntry> Entries(20);
    for (uint32_t I = 0; I < Count; ++I)
        Entries[I] = {Read[I].peRed, Read[I].peGreen, Read[I].peBlue, Read[I].peFlags};
    return Entries;
}

HPALETTE BuildOctreePalette(TDIBReader& Reader, int32_t Width, int32_t Height, int32_t Colors,
                            int32_t ColorBits, bool SystemColors) {
    std::vector<TLookupEntry> System;
    if (SystemColors) System = StockPaletteEntries();
    std::vector<TLookupEntry> Entries;
    {
        // With system colors the picture gets the 236 entries between the first and last ten.
        TColorQuantizer Q(SystemColors ? 236 : Colors, ColorBits);
        Q.AddPicture(Reader, Width, Height);
        Entries = OctreePaletteEntries(Q, SystemColors, System.data());
    }
    return PaletteFromEntries(Entries);
}

HPALETTE BuildOctreePaletteForBitmap(TBitmap* Bitmap, int32_t Colors, int32_t ColorBits,
                                     bool SystemColors) {
    TDIBReader Reader(Bitmap, pf24bit);
    return BuildOctreePalette(Reader, Bitmap->Width(), Bitmap->Height(), Colors, ColorBits,
                              SystemColors);
}

} // namespace mv

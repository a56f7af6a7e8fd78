// Octree color quantizer: every pixel of a picture goes into an octree whose deepest nodes are
// merged whenever the number of distinct colors grows past the limit; the average color of each
// remaining leaf, depth first, becomes the palette.
#pragma once

#include "gif/DIB.h"
#include "gif/color/ColorLookup.h"
#include "platform/Classes.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace mv {

// One node. Children are owned (through the quantizer's node store); a node of level L picks
// its child by bit 7 - L of each channel: red bit x 4 + green bit x 2 + blue bit.
struct TOctreeNode {
    bool Leaf = false;
    // 64-bit so that a large picture of one bright color cannot overflow its sums
    // (4000 x 3000 pixels of 255 already pass 2^31).
    int64_t PixelCount = 0;
    int64_t RedSum = 0;
    int64_t GreenSum = 0;
    int64_t BlueSum = 0;
    TOctreeNode* Next = nullptr; // next node of its level's reducible list
    TOctreeNode* Children[8] = {};
};

class TColorQuantizer : public TObject {
public:
    // MaxColors counts as 1..256 and ColorBits (the level at which nodes are leaves) as 0..8.
    TColorQuantizer(int32_t MaxColors, int32_t ColorBits);
    ~TColorQuantizer() override;
    TColorQuantizer(const TColorQuantizer&) = delete;
    TColorQuantizer& operator=(const TColorQuantizer&) = delete;
    std::string ClassName() const override { return "TColorQuantizer"; }

    // Inserts Count pixels stored blue, green, red, left to right, merging after each pixel
    // while there are more leaves than colors allowed. A picture is its rows from the top.
    void AddPixels(const uint8_t* BGR, int32_t Count);
    // Every pixel of a 24-bit reader's Width x Height picture, rows from the top.
    void AddPicture(TDIBReader& Reader, int32_t Width, int32_t Height);
    // One color into the tree (no merging).
    void InsertColor(uint8_t Red, uint8_t Green, uint8_t Blue);
    // Merges the most recently created node of the deepest non-empty reducible list into a
    // leaf. False when there is nothing left to merge.
    bool MergeDeepestNode();
    // Writes one entry per leaf, depth first with children in index order, as blue, green,
    // red, 0 (4 bytes each) into Table, at most Capacity entries. Returns the count written.
    int32_t FillColorTable(uint8_t* Table, int32_t Capacity = 256) const;

    int32_t Leaves() const { return FLeaves; }
    int32_t MaxColors() const { return FMaxColors; }
    int32_t ColorBits() const { return FColorBits; }

private:
    TOctreeNode* NewNode(int32_t Level);
    void FreeNode(TOctreeNode* Node);
    void FillFrom(const TOctreeNode* Node, uint8_t*& Entry, int32_t& Count, int32_t Capacity) const;

    TOctreeNode* FRoot = nullptr;
    int32_t FLeaves = 0;
    TOctreeNode* FReducible[8] = {}; // not owning
    int32_t FMaxColors;
    int32_t FColorBits;

    // Nodes come from blocks owned here and return to a free list, so the tree allocates
    // nothing per pixel once it has reached its size (which the color limit bounds).
    std::vector<std::unique_ptr<TOctreeNode[]>> FBlocks;
    TOctreeNode* FFree = nullptr;
    size_t FBlockUsed = 0;

    // The last color inserted and its leaf, valid until the next merge: runs of equal pixels
    // skip the descent.
    uint32_t FLastColor = 0xFFFFFFFFu;
    TOctreeNode* FLastLeaf = nullptr;
};

// The entries of an octree palette made from Q's leaves, in table order. Without system colors
// there is one entry per leaf, so no entry is left undefined. With them there are 256: System20's
// first ten at 0..9, its last ten at 246..255, the leaves from 10 on and black between.
std::vector<TLookupEntry> OctreePaletteEntries(const TColorQuantizer& Q, bool SystemColors,
                                               const TLookupEntry* System20);

// The octree palette of a picture read through a 24-bit reader (Width x Height pixels): Colors
// (1..256) leaves at ColorBits, or with SystemColors 236 leaves inside the stock palette's 20
// colors (256 entries). Without system colors the palette has one entry per leaf, so a picture
// of fewer colors gives a shorter palette, and a picture without pixels none (null).
HPALETTE BuildOctreePalette(TDIBReader& Reader, int32_t Width, int32_t Height, int32_t Colors,
                            int32_t ColorBits, bool SystemColors);
// The same over a bitmap, through a 24-bit reader of its own (the bitmap becomes pf24bit).
HPALETTE BuildOctreePaletteForBitmap(TBitmap* Bitmap, int32_t Colors, int32_t ColorBits,
                                     bool SystemColors);

// A palette handle with the entries, flags included; null for no entries.
HPALETTE PaletteFromEntries(const std::vector<TLookupEntry>& Entries);
// The stock default palette's 20 entries.
std::vector<TLookupEntry> StockPaletteEntries();

} // namespace mv

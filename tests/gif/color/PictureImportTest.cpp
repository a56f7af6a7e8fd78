// Filling a frame from pictures: bitmaps of every depth, reduction, transparency from bitmaps,
// icons and metafiles, other graphics, picture holders, progress and refused sources.
#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"
#include "gif/color/Reduction.h"
#include "platform/Icon.h"
#include "platform/Jpeg.h"
#include "platform/Metafile.h"
#include "tests/platform/MetafileBuilder.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using namespace mv;

namespace {

using TRGB = std::array<uint8_t, 3>;
using Bytes = std::vector<uint8_t>;

TColor ColorOf(const TRGB& C) {
    return static_cast<TColor>(C[0] | C[1] << 8 | C[2] << 16);
}

// A bitmap of W x (Pixels / W) in Format, filled through a 24-bit one.
std::unique_ptr<TBitmap> TrueColor(int W, const std::vector<TRGB>& Pixels,
                                   TPixelFormat Format = pf24bit) {
    const int H = static_cast<int>(Pixels.size()) / W;
    auto B = std::make_unique<TBitmap>(W, H, pf24bit);
    for (int Y = 0; Y < H; ++Y) {
        auto* Row = static_cast<uint8_t*>(B->ScanLine(Y));
        for (int X = 0; X < W; ++X) {
            const TRGB& C = Pixels[static_cast<size_t>(Y * W + X)];
            Row[3 * X] = C[2];
            Row[3 * X + 1] = C[1];
            Row[3 * X + 2] = C[0];
        }
    }
    if (Format != pf24bit) B->SetPixelFormat(Format);
    return B;
}

// An indexed bitmap with the given palette and raw row bytes (rows from the top).
std::unique_ptr<TBitmap> Indexed(TPixelFormat Format, int W, const std::vector<TRGB>& Palette,
                                 const std::vector<Bytes>& Rows) {
    auto B = std::make_unique<TBitmap>(W, static_cast<int>(Rows.size()), Format);
    std::vector<TPaletteEntry> Entries;
    for (const TRGB& C : Palette) Entries.push_back(TPaletteEntry{C[0], C[1], C[2], 0});
    B->SetPalette(CreatePalette(Entries.data(), static_cast<int>(Entries.size())));
    for (size_t Y = 0; Y < Rows.size(); ++Y) {
        auto* Row = static_cast<uint8_t*>(B->ScanLine(static_cast<int32_t>(Y)));
        std::copy(Rows[Y].begin(), Rows[Y].end(), Row);
    }
    return B;
}

std::vector<uint8_t> Pixels(const TGIFSubImage& F) {
    return std::vector<uint8_t>(F.IndexData(), F.IndexData() + F.IndexSize());
}

TRGB MapColor(const TGIFColorMap& Map, int Index) {
    const uint8_t* T = Map.Triples() + 3 * Index;
    return TRGB{T[0], T[1], T[2]};
}

std::vector<TRGB> MapColors(const TGIFColorMap& Map) {
    std::vector<TRGB> Out;
    for (int i = 0; i < Map.Count(); ++i) Out.push_back(MapColor(Map, i));
    return Out;
}

// The color pixel (X, Y) has in the local map.
TRGB PixelColor(const TGIFSubImage& F, int X, int Y) {
    return MapColor(F.LocalMap(), F.IndexData()[Y * F.Width() + X]);
}

struct TProgressRecord {
    TProgressStage Stage;
    int Percent;
    std::string Message;
    bool operator==(const TProgressRecord&) const = default;
};

// An image with one frame being filled, recording the image's progress.
struct TTarget {
    TGIFImage Image;
    TGIFSubImage Frame{&Image};
    std::vector<TProgressRecord> Progress;
    TTarget() {
        Image.OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t Percent, bool,
                                  const TRect& R, const std::string& M) {
            EXPECT_EQ(Sender, &Frame);
            EXPECT_EQ(R, (TRect{0, 0, 0, 0}));
            Progress.push_back({Stage, Percent, M});
        };
    }
};

// The cube index of an exact cube color.
int CubeIndex(const TRGB& C) {
    return C[0] / 51 * 36 + C[1] / 51 * 6 + C[2] / 51;
}

const TRGB Red{255, 0, 0}, Green{0, 255, 0}, Blue{0, 0, 255}, White{255, 255, 255}, Black{0, 0, 0},
    Teal{0, 102, 153}, Olive{153, 153, 51};

// ---------------------------------------------------------------------------
// Indexed bitmaps pass through index for index

struct TIndexedCase {
    const char* Name;
    TPixelFormat Format;
    int Width;
    std::vector<Bytes> Rows;
    std::vector<uint8_t> Expected;
};

TEST(PictureImport, IndexedBitmapsKeepTheirIndicesAndPalette) {
    std::vector<TRGB> Palette256;
    for (int i = 0; i < 256; ++i)
        Palette256.push_back(TRGB{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
                                  static_cast<uint8_t>(i * 7)});
    Bytes AllIndices(256);
    for (int i = 0; i < 256; ++i) AllIndices[i] = static_cast<uint8_t>(255 - i);
    std::vector<uint8_t> Expected8(AllIndices);
    Expected8.insert(Expected8.end(), AllIndices.rbegin(), AllIndices.rend());

    const std::vector<TIndexedCase> Cases = {
        {"8-bit, 256 colors",
         pf8bit,
         256,
         {AllIndices, Bytes(AllIndices.rbegin(), AllIndices.rend())},
         Expected8},
        // Three pixels a row: both nibbles of the first byte, the high nibble of the second.
        {"4-bit, 3 wide", pf4bit, 3, {{0xAB, 0xCD}, {0x0F, 0x7E}}, {0xA, 0xB, 0xC, 0x0, 0xF, 0x7}},
        // Most significant bit first, across a byte boundary.
        {"1-bit", pf1bit, 10, {{0xB0, 0xC0}}, {1, 0, 1, 1, 0, 0, 0, 0, 1, 1}},
    };
    for (const TIndexedCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const size_t Colors = size_t{1} << PixelFormatBits(C.Format);
        std::vector<TRGB> Palette(Palette256.begin(), Palette256.begin() + Colors);
        auto Source = Indexed(C.Format, C.Width, Palette, C.Rows);
        TTarget T;
        T.Image.ReductionMethod = rdNone; // indexed bitmaps are never reduced anyway
        T.Frame.Assign(Source.get());
        EXPECT_EQ(T.Frame.Width(), C.Width);
        EXPECT_EQ(T.Frame.Height(), static_cast<int>(C.Rows.size()));
        EXPECT_EQ(Pixels(T.Frame), C.Expected);
        EXPECT_EQ(MapColors(T.Frame.LocalMap()), Palette);
        EXPECT_EQ(T.Frame.ExtensionList().Count(), 0);
        EXPECT_FALSE(T.Frame.HasTransparency());
        ASSERT_TRUE(T.Frame.HasRendering());
        EXPECT_EQ(T.Frame.Rendered()->PixelFormat(), C.Format);
        EXPECT_NE(T.Frame.Rendered(), Source.get());
    }
}

// ---------------------------------------------------------------------------
// True-color bitmaps

TEST(PictureImport, TrueColorWithoutReductionNumbersColorsByFirstAppearance) {
    // Ten colors cycling: more than the eight recent colors remembered, so the map is
    // searched again for colors seen before.
    std::vector<TRGB> Cycle;
    for (int i = 0; i < 10; ++i)
        Cycle.push_back(TRGB{static_cast<uint8_t>(10 * i), static_cast<uint8_t>(200 - i), 7});
    std::vector<TRGB> Picture = {Red, Green, Red, Blue, Blue, Green, Teal, Red};
    std::vector<uint8_t> Expected = {0, 1, 0, 2, 2, 1, 3, 0};
    std::vector<TRGB> ExpectedMap = {Red, Green, Blue, Teal};
    for (int Round = 0; Round < 2; ++Round)
        for (int i = 0; i < 10; ++i) {
            Picture.push_back(Cycle[i]);
            Picture.push_back(Cycle[i]); // a repeat is found among the recent colors
            Expected.push_back(static_cast<uint8_t>(4 + i));
            Expected.push_back(static_cast<uint8_t>(4 + i));
        }
    ExpectedMap.insert(ExpectedMap.end(), Cycle.begin(), Cycle.end());

    for (TPixelFormat Format : {pf24bit, pf32bit}) {
        SCOPED_TRACE(PixelFormatBits(Format));
        auto Source = TrueColor(4, Picture, Format);
        TTarget T;
        T.Image.ReductionMethod = rdNone;
        T.Frame.Assign(Source.get());
        EXPECT_EQ(Pixels(T.Frame), Expected);
        EXPECT_EQ(MapColors(T.Frame.LocalMap()), ExpectedMap);
    }
}

TEST(PictureImport, TrueColorWithTheDefaultsGivesCubeIndices) {
    const std::vector<TRGB> Picture = {
        Red, Teal, Olive, White, Black, TRGB{30, 200, 100}, TRGB{130, 20, 240}, Green};
    // Between the levels a channel takes level (c + 3) div 51: (30, 200, 100) becomes
    // (0, 153, 102) and (130, 20, 240) becomes (102, 0, 204).
    const std::vector<int> Expected = {CubeIndex(Red),     CubeIndex(Teal),  CubeIndex(Olive),
                                       CubeIndex(White),   CubeIndex(Black), 0 * 36 + 3 * 6 + 2,
                                       2 * 36 + 0 * 6 + 4, CubeIndex(Green)};
    for (TPixelFormat Format : {pf24bit, pf32bit}) {
        SCOPED_TRACE(PixelFormatBits(Format));
        auto Source = TrueColor(4, Picture, Format);
        TTarget T;
        T.Frame.Assign(Source.get());
        ASSERT_EQ(T.Frame.IndexSize(), 8);
        for (int i = 0; i < 8; ++i) {
            const int Index = T.Frame.IndexData()[i];
            EXPECT_EQ(Index, Expected[i]) << i;
            const TRGB C = MapColor(T.Frame.LocalMap(), Index);
            EXPECT_EQ(C, (TRGB{static_cast<uint8_t>(Index / 36 * 51),
                               static_cast<uint8_t>(Index / 6 % 6 * 51),
                               static_cast<uint8_t>(Index % 6 * 51)}));
        }
        ASSERT_TRUE(T.Frame.HasRendering());
        EXPECT_EQ(T.Frame.Rendered()->PixelFormat(), pf8bit);
        EXPECT_EQ(T.Frame.ExtensionList().Count(), 0);
    }
}

// ---------------------------------------------------------------------------
// Transparency

TEST(PictureImport, TransparentBitmapGetsAControlExtensionWithABlackLastEntry) {
    // The bottom-left pixel (Teal) is the transparent color.
    const std::vector<TRGB> Picture = {Red, Teal, Green, Red, Teal, Olive, Teal, Red};
    for (bool Transparent : {true, false}) {
        SCOPED_TRACE(Transparent);
        auto Source = TrueColor(4, Picture);
        Source->SetTransparent(Transparent);
        TTarget T;
        T.Frame.Assign(Source.get());
        const TGIFColorMap& Map = T.Frame.LocalMap();
        if (!Transparent) {
            EXPECT_EQ(T.Frame.ExtensionList().Count(), 0);
            EXPECT_FALSE(T.Frame.HasTransparency());
            continue;
        }
        // Compacted to the four colors used, then black for the transparent pixels.
        ASSERT_EQ(Map.Count(), 5);
        EXPECT_EQ(MapColor(Map, 4), Black);
        ASSERT_EQ(T.Frame.ExtensionList().Count(), 1);
        TGIFGraphicControlExtension* Control = T.Frame.ControlExtension();
        ASSERT_NE(Control, nullptr);
        EXPECT_EQ(T.Frame.ExtensionList().Items(0), Control);
        EXPECT_TRUE(Control->UsesTransparency());
        EXPECT_EQ(Control->TransparentSlot(), 4);
        EXPECT_TRUE(T.Frame.HasTransparency());
        for (int i = 0; i < 8; ++i) {
            const int Index = T.Frame.IndexData()[i];
            if (Picture[i] == Teal)
                EXPECT_EQ(Index, 4) << i;
            else
                EXPECT_EQ(MapColor(Map, Index), Picture[i]) << i;
        }
        // The source keeps its own mask as it was.
        HBITMAP Mask = Source->MaskHandle();
        ASSERT_TRUE(Mask);
        EXPECT_EQ(Mask->BitCount, 1);
        EXPECT_TRUE(Mask->Monochrome);
    }
}

TEST(PictureImport, TransparentBitmapWithAFullMapStaysOpaque) {
    // 256 colors, each used: after compaction the map is full, so no entry is left for
    // transparency.
    std::vector<TRGB> Palette;
    for (int i = 0; i < 256; ++i)
        Palette.push_back(TRGB{static_cast<uint8_t>(i), static_cast<uint8_t>(i ^ 0x55), 9});
    std::vector<Bytes> Rows(16, Bytes(16));
    for (int i = 0; i < 256; ++i) Rows[i / 16][i % 16] = static_cast<uint8_t>(i);
    auto Source = Indexed(pf8bit, 16, Palette, Rows);
    Source->SetTransparent(true);
    TTarget T;
    T.Frame.Assign(Source.get());
    EXPECT_EQ(T.Frame.LocalMap().Count(), 256);
    EXPECT_EQ(T.Frame.ExtensionList().Count(), 0);
    EXPECT_FALSE(T.Frame.HasTransparency());
    for (int i = 0; i < 256; ++i) EXPECT_EQ(PixelColor(T.Frame, i % 16, i / 16), Palette[i]) << i;
}

// An icon file with one 24-bit image; Mask[y][x] set shows the background.
Bytes IconFile(int W, int H, const std::vector<TRGB>& Colors, const std::vector<bool>& Mask) {
    Bytes B;
    auto Put16 = [&](unsigned V) {
        B.push_back(static_cast<uint8_t>(V));
        B.push_back(static_cast<uint8_t>(V >> 8));
    };
    auto Put32 = [&](uint32_t V) {
        for (int i = 0; i < 4; ++i) B.push_back(static_cast<uint8_t>(V >> (8 * i)));
    };
    const size_t ColorRow = (size_t(W) * 3 + 3) / 4 * 4, MaskRow = (size_t(W) + 31) / 32 * 4;
    const uint32_t Size = static_cast<uint32_t>(40 + (ColorRow + MaskRow) * H);
    Put16(0), Put16(1), Put16(1);
    B.push_back(static_cast<uint8_t>(W)), B.push_back(static_cast<uint8_t>(H)), B.push_back(0),
        B.push_back(0);
    Put16(1), Put16(24), Put32(Size), Put32(22);
    Put32(40), Put32(static_cast<uint32_t>(W)), Put32(static_cast<uint32_t>(2 * H)), Put16(1),
        Put16(24);
    for (int i = 0; i < 6; ++i) Put32(0);
    for (int Y = H - 1; Y >= 0; --Y) {
        Bytes Row(ColorRow);
        for (int X = 0; X < W; ++X) {
            const TRGB& C = Colors[static_cast<size_t>(Y * W + X)];
            Row[3 * X] = C[2], Row[3 * X + 1] = C[1], Row[3 * X + 2] = C[0];
        }
        B.insert(B.end(), Row.begin(), Row.end());
    }
    for (int Y = H - 1; Y >= 0; --Y) {
        Bytes Row(MaskRow);
        for (int X = 0; X < W; ++X)
            if (Mask[static_cast<size_t>(Y * W + X)])
                Row[X / 8] |= static_cast<uint8_t>(0x80 >> X % 8);
        B.insert(B.end(), Row.begin(), Row.end());
    }
    return B;
}

template <class G> std::unique_ptr<G> Load(const Bytes& Data) {
    TMemoryStream S;
    S.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    S.SetPosition(0);
    auto Graphic = std::make_unique<G>();
    Graphic->LoadFromStream(S);
    return Graphic;
}

TEST(PictureImport, IconIsTransparentWhereItsMaskIsSet) {
    const int W = 4, H = 3;
    // Black shows where the icon is opaque too: only the mask decides.
    const std::vector<TRGB> Colors = {Red,   Teal, Black, Red, Black, Olive,
                                      Green, Teal, Red,   Red, Red,   Black};
    const std::vector<bool> Mask = {true, false, false, true,  false, false,
                                    true, false, false, false, false, true};
    std::vector<TRGB> FileColors = Colors;
    for (size_t i = 0; i < Mask.size(); ++i)
        if (Mask[i]) FileColors[i] = Black; // the usual color under a set mask
    auto Icon = Load<TIcon>(IconFile(W, H, FileColors, Mask));

    TTarget T;
    T.Frame.Assign(Icon.get());
    ASSERT_EQ(T.Frame.Width(), W);
    ASSERT_EQ(T.Frame.Height(), H);
    TGIFGraphicControlExtension* Control = T.Frame.ControlExtension();
    ASSERT_NE(Control, nullptr);
    const int Transparent = Control->TransparentSlot();
    EXPECT_EQ(Transparent, T.Frame.LocalMap().Count() - 1);
    for (int i = 0; i < W * H; ++i) {
        const int Index = T.Frame.IndexData()[i];
        if (Mask[static_cast<size_t>(i)])
            EXPECT_EQ(Index, Transparent) << i;
        else {
            EXPECT_NE(Index, Transparent) << i;
            EXPECT_EQ(MapColor(T.Frame.LocalMap(), Index), Colors[static_cast<size_t>(i)]) << i;
        }
    }
}

TEST(PictureImport, MetafileIsTransparentWhereItDrewNothing) {
    // A red square from (5, 5) to (15, 15) on a 24 x 20 picture.
    mv::testing::TEmfBuilder B(24, 20);
    B.Pen(1, 1, 0x0000FF).Select(1).Brush(2, 0, 0x0000FF).Select(2).Rectangle(5, 5, 15, 15);
    auto Metafile = Load<TMetafile>(B.Finish());
    ASSERT_EQ(Metafile->Width(), 24);

    TTarget T;
    T.Frame.Assign(Metafile.get());
    ASSERT_EQ(T.Frame.Width(), 24);
    ASSERT_EQ(T.Frame.Height(), 20);
    TGIFGraphicControlExtension* Control = T.Frame.ControlExtension();
    ASSERT_NE(Control, nullptr);
    const int Transparent = Control->TransparentSlot();
    EXPECT_EQ(MapColor(T.Frame.LocalMap(), Transparent), Black);
    // Every pixel is either red (drawn) or transparent (not drawn).
    int Drawn = 0;
    for (int Y = 0; Y < 20; ++Y)
        for (int X = 0; X < 24; ++X) {
            const int Index = T.Frame.IndexData()[Y * 24 + X];
            if (Index == Transparent) continue;
            ++Drawn;
            EXPECT_EQ(MapColor(T.Frame.LocalMap(), Index), Red) << X << "," << Y;
            EXPECT_TRUE(X >= 5 && X <= 15 && Y >= 5 && Y <= 15) << X << "," << Y;
        }
    EXPECT_GE(Drawn, 100);
    EXPECT_EQ(T.Frame.IndexData()[10 * 24 + 10], T.Frame.IndexData()[6 * 24 + 6]);
    EXPECT_EQ(T.Frame.IndexData()[0], Transparent);
    EXPECT_EQ(T.Frame.IndexData()[19 * 24 + 23], Transparent);
}

// ---------------------------------------------------------------------------
// Other graphics and picture holders

TEST(PictureImport, JpegIsReducedThroughABitmapWithoutMask) {
    TJPEGImage Jpeg;
    Jpeg.LoadFromFile(MORVELLAN_SOURCE_DIR "/samples/seal.jpg");
    TBitmap Decoded;
    Decoded.Assign(&Jpeg);
    ASSERT_EQ(Decoded.PixelFormat(), pf24bit);

    TTarget FromJpeg, FromBitmap;
    FromJpeg.Frame.Assign(&Jpeg);
    FromBitmap.Frame.Assign(&Decoded);
    EXPECT_EQ(FromJpeg.Frame.Width(), Jpeg.Width());
    EXPECT_EQ(FromJpeg.Frame.Height(), Jpeg.Height());
    EXPECT_EQ(Pixels(FromJpeg.Frame), Pixels(FromBitmap.Frame));
    EXPECT_EQ(MapColors(FromJpeg.Frame.LocalMap()), MapColors(FromBitmap.Frame.LocalMap()));
    EXPECT_EQ(FromJpeg.Frame.ExtensionList().Count(), 0);
    EXPECT_FALSE(FromJpeg.Frame.HasTransparency());
    // Cube colors only.
    for (const TRGB& C : MapColors(FromJpeg.Frame.LocalMap()))
        ASSERT_TRUE(C[0] % 51 == 0 && C[1] % 51 == 0 && C[2] % 51 == 0);
    EXPECT_EQ(FromJpeg.Progress.front(), (TProgressRecord{psStarting, 0, "Converting..."}));
    EXPECT_EQ(FromJpeg.Progress.back(), (TProgressRecord{psEnding, 100, "Converting..."}));
}

TEST(PictureImport, AnotherGIFImageShowsTheSameColors) {
    TGIFImage Source;
    auto F = std::make_unique<TGIFSubImage>(&Source);
    F->Place(0, 0, 3, 2);
    for (const TRGB& C : {Teal, Olive, White}) F->LocalMap().Append(ColorOf(C));
    const uint8_t Indices[6] = {0, 1, 2, 2, 1, 0};
    std::copy(Indices, Indices + 6, F->IndexData());
    Source.AddFrame(std::move(F));
    const std::vector<TRGB> Shown = {Teal, Olive, White, White, Olive, Teal};

    try {
        TBitmap Probe;
        Probe.Assign(&Source);
    } catch (const Exception& E) {
        // Until the image can give a bitmap of its frames.
        GTEST_SKIP() << "a GIF image cannot become a bitmap yet: " << E.what();
    }

    TTarget T;
    T.Frame.Assign(&Source);
    ASSERT_EQ(T.Frame.Width(), 3);
    ASSERT_EQ(T.Frame.Height(), 2);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(PixelColor(T.Frame, i % 3, i / 3), Shown[i]) << i;
    EXPECT_EQ(T.Frame.ExtensionList().Count(), 0);
}

TEST(PictureImport, PictureHolderPassesItsGraphicOn) {
    auto Bitmap = TrueColor(2, {Red, Teal, Olive, White});
    TPicture Holder;
    Holder.SetGraphic(Bitmap.get());
    TTarget T;
    T.Frame.Assign(&Holder);
    ASSERT_EQ(T.Frame.IndexSize(), 4);
    EXPECT_EQ(PixelColor(T.Frame, 1, 0), Teal);
    EXPECT_EQ(PixelColor(T.Frame, 0, 1), Olive);

    // With no graphic it empties the frame.
    TPicture Nothing;
    T.Frame.Assign(&Nothing);
    EXPECT_TRUE(T.Frame.IsEmpty());
    EXPECT_EQ(T.Frame.LocalMap().Count(), 0);
    EXPECT_FALSE(T.Frame.HasRendering());
}

TEST(PictureImport, ObjectsThatAreNoPictureAreRefusedAndLeaveTheFrame) {
    auto Bitmap = TrueColor(2, {Red, Teal, Olive, White});
    TTarget T;
    T.Frame.Assign(Bitmap.get());
    const auto Before = Pixels(T.Frame);
    const auto BeforeMap = MapColors(T.Frame.LocalMap());
    T.Progress.clear();

    TStringList Strings;
    try {
        T.Frame.Assign(&Strings);
        FAIL() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TStringList to a TGIFSubImage");
    }
    EXPECT_EQ(Pixels(T.Frame), Before);
    EXPECT_EQ(MapColors(T.Frame.LocalMap()), BeforeMap);
    EXPECT_TRUE(T.Frame.HasRendering());
    EXPECT_TRUE(T.Progress.empty());
}

TEST(PictureImport, EmptyPicturesEmptyTheFrameWithoutProgress) {
    TBitmap EmptyBitmap;
    TIcon EmptyIcon;
    TMetafile EmptyMetafile;
    for (TGraphic* G : std::initializer_list<TGraphic*>{&EmptyBitmap, &EmptyIcon, &EmptyMetafile}) {
        SCOPED_TRACE(G->ClassName());
        auto Bitmap = TrueColor(2, {Red, Teal, Olive, White});
        TTarget T;
        T.Frame.Assign(Bitmap.get());
        T.Progress.clear();
        T.Frame.Assign(G);
        EXPECT_TRUE(T.Frame.IsEmpty());
        EXPECT_EQ(T.Frame.Width(), 0);
        EXPECT_EQ(T.Frame.LocalMap().Count(), 0);
        EXPECT_TRUE(T.Progress.empty());
    }
}

// ---------------------------------------------------------------------------
// The image's assignment

TEST(PictureImport, ImageAssignedABitmapIsAOneFrameGIF) {
    std::vector<TRGB> Palette;
    for (int i = 0; i < 256; ++i)
        Palette.push_back(TRGB{static_cast<uint8_t>(i), 3, static_cast<uint8_t>(255 - i)});
    auto Eight = Indexed(pf8bit, 3, Palette, {{7, 200, 255}});
    auto Deep = TrueColor(3, {Teal, Olive, White});

    TGIFImage Image;
    Image.Assign(Eight.get());
    ASSERT_EQ(Image.Frames().Count(), 1);
    EXPECT_EQ(Image.Width(), 3);
    EXPECT_EQ(Image.Height(), 1);
    TGIFSubImage* Frame = Image.Frames().FrameAt(0);
    EXPECT_EQ(Pixels(*Frame), (std::vector<uint8_t>{7, 200, 255}));
    EXPECT_EQ(MapColors(Frame->LocalMap()), Palette);

    // Assigning again replaces the frame; the 24-bit picture is mapped to the cube.
    Image.Assign(Deep.get());
    ASSERT_EQ(Image.Frames().Count(), 1);
    Frame = Image.Frames().FrameAt(0);
    EXPECT_EQ(Pixels(*Frame), (std::vector<uint8_t>{static_cast<uint8_t>(CubeIndex(Teal)),
                                                    static_cast<uint8_t>(CubeIndex(Olive)),
                                                    static_cast<uint8_t>(CubeIndex(White))}));
    TMemoryStream Saved;
    Image.SaveToStream(Saved);
    TGIFImage Reloaded;
    Saved.SetPosition(0);
    Reloaded.LoadFromStream(Saved);
    ASSERT_EQ(Reloaded.Frames().Count(), 1);
    EXPECT_EQ(Pixels(*Reloaded.Frames().FrameAt(0)), Pixels(*Frame));
}

TEST(PictureImport, AFramesOwnRenderingCanBeAssignedBack) {
    // Emptying the frame or the image frees the rendering: the import must not read it after.
    auto Source = TrueColor(3, {Teal, Olive, White, Red, Green, Blue});
    TTarget T;
    T.Frame.Assign(Source.get());
    const auto Before = Pixels(T.Frame);
    T.Frame.Assign(T.Frame.Rendered());
    EXPECT_EQ(Pixels(T.Frame), Before);
    EXPECT_TRUE(T.Frame.HasRendering());

    TGIFImage Image;
    Image.Assign(Source.get());
    Image.Assign(Image.Frames().FrameAt(0)->Rendered());
    ASSERT_EQ(Image.Frames().Count(), 1);
    EXPECT_EQ(Pixels(*Image.Frames().FrameAt(0)), Before);
}

// ---------------------------------------------------------------------------
// Progress and failures

TEST(PictureImport, ProgressEveryThirtyTwoRows) {
    std::vector<TRGB> Picture(2 * 70, Teal);
    auto Source = TrueColor(2, Picture);
    TTarget T;
    T.Frame.Assign(Source.get());
    const std::string M = "Converting...";
    // 32 x 100 / 70 = 45.7 and 64 x 100 / 70 = 91.4, rounded.
    EXPECT_EQ(T.Progress, (std::vector<TProgressRecord>{{psStarting, 0, M},
                                                        {psRunning, 0, M},
                                                        {psRunning, 46, M},
                                                        {psRunning, 91, M},
                                                        {psEnding, 100, M}}));
}

TEST(PictureImport, FailuresStillEndTheProgress) {
    std::vector<TRGB> Distinct;
    for (int i = 0; i < 257; ++i)
        Distinct.push_back(TRGB{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 1});
    struct TCase {
        const char* Name;
        TReductionMethod Method;
        std::string Message;
    };
    const std::vector<TCase> Cases = {
        // The 257th color of an unreduced picture overflows the map.
        {"257 colors", rdNone, "Color table overflow"},
        // No palette is handed on for a given-palette reduction: nothing to read rows from.
        {"given palette", rdGivenPalette, "Scan line index out of range"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        auto Source = TrueColor(257, Distinct);
        TTarget T;
        T.Image.ReductionMethod = C.Method;
        try {
            T.Frame.Assign(Source.get());
            FAIL() << "no error";
        } catch (const Exception& E) {
            EXPECT_EQ(E.what(), C.Message);
        }
        ASSERT_GE(T.Progress.size(), 2u);
        EXPECT_EQ(T.Progress.front(), (TProgressRecord{psStarting, 0, "Converting..."}));
        EXPECT_EQ(T.Progress.back(), (TProgressRecord{psEnding, 0, "Converting..."}));
    }
}

} // namespace

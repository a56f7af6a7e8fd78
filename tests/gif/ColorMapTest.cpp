#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

namespace mv {
namespace {

using test::Bytes;

constexpr TColor Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000, White = 0xFFFFFF;

Bytes TableBytes(const TGIFColorMap& Map) {
    TMemoryStream S;
    Map.WriteTable(S);
    return S.Bytes();
}

TEST(ColorMap, WritesEntriesPaddedToAPowerOfTwo) {
    TGIFSubImage Frame(nullptr);
    TGIFColorMap& Map = Frame.LocalMap();
    EXPECT_TRUE(TableBytes(Map).empty());
    EXPECT_EQ(Map.IndexBits(), 0);

    Map.Append(Red);
    EXPECT_EQ(TableBytes(Map), (Bytes{0xFF, 0, 0, 0, 0, 0})); // 1 color as 2 entries
    Map.Append(Green);
    Map.Append(Blue);
    EXPECT_EQ(TableBytes(Map), (Bytes{0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0}));
    for (int i = 3; i < 17; ++i) Map.Append(static_cast<TColor>(i));
    EXPECT_EQ(TableBytes(Map).size(), 96u); // 17 colors as 32 entries
    EXPECT_EQ(Map.IndexBits(), 5);
}

TEST(ColorMap, ReserveRoundsTheRoom) {
    const struct {
        int32_t N, Room;
    } Cases[] = {{1, 16}, {16, 16}, {17, 32}, {200, 224}, {250, 256}, {256, 256}};
    for (const auto& C : Cases) {
        TGIFSubImage Frame(nullptr);
        Frame.LocalMap().Reserve(C.N);
        EXPECT_EQ(Frame.LocalMap().Room(), C.Room) << C.N;
    }
    TGIFSubImage Frame(nullptr);
    Frame.LocalMap().Reserve(100);
    Frame.LocalMap().Reserve(3); // never shrinks
    EXPECT_EQ(Frame.LocalMap().Room(), 128);
}

TEST(ColorMap, LocateSearchesFromTheEndUnlessSorted) {
    TGIFImage Image;
    auto Owned = std::make_unique<TGIFSubImage>(&Image);
    TGIFSubImage* Frame = Owned.get();
    Image.AddFrame(std::move(Owned));
    TGIFColorMap& Map = Frame->LocalMap();
    for (TColor C : {Red, Green, White, Blue, Green, White}) Map.Append(C);
    EXPECT_EQ(Map.Locate(White), 5);
    EXPECT_EQ(Map.Locate(0x123456), -1);

    // Uses: white(2) x3, white(5) x2, red x1: the sort gives white, white, red.
    Frame->Place(0, 0, 6, 1);
    const uint8_t Pixels[6] = {2, 2, 2, 5, 5, 0};
    std::copy(Pixels, Pixels + 6, Frame->IndexData());
    ASSERT_TRUE(Map.Compact());
    ASSERT_TRUE(Map.Sorted());
    EXPECT_EQ(Map.Count(), 3);
    EXPECT_EQ(Map.Locate(White), 0);
}

TEST(ColorMap, FindOrAppendOfAPresentColorChangesNothing) {
    TGIFSubImage Frame(nullptr);
    TGIFColorMap& Map = Frame.LocalMap();
    Map.Append(Red);
    Map.Append(Green);
    HPALETTE Cached = Frame.PaletteHandle(); // the change notice drops it
    ASSERT_TRUE(Cached);
    EXPECT_EQ(Map.FindOrAppend(Green), 1);
    EXPECT_EQ(Frame.PaletteHandle(), Cached);
    EXPECT_EQ(Map.FindOrAppend(Blue), 2);
    EXPECT_NE(Frame.PaletteHandle(), Cached);
}

TEST(ColorMap, ErrorsAndWarnings) {
    TGIFImage Image;
    test::TWarningLog Log;
    Log.Attach(Image);
    auto Owned = std::make_unique<TGIFSubImage>(&Image);
    TGIFColorMap& Map = Owned->LocalMap();
    Image.AddFrame(std::move(Owned));

    // Outside the map: a warning from the map, then entry 0 or, when empty, an error.
    try {
        Map.ColorAt(0);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::EmptyColorMap);
    }
    for (TColor C : {Blue, Red, Green, White}) Map.Append(C);
    EXPECT_EQ(Map.ColorAt(300), Blue);
    ASSERT_EQ(Log.Items.size(), 2u);
    EXPECT_EQ(Log.Items[1].Sender, &Map);
    EXPECT_EQ(Log.Items[1].Message, gifmsg::InvalidColorIndex);
    EXPECT_EQ(Log.Items[1].Severity, 1);

    EXPECT_THROW(Map.DeleteAt(4), GIFException);
    Map.DeleteAt(1);
    EXPECT_EQ(Map.Count(), 3);
    EXPECT_EQ(Map.ColorAt(1), Green);
    for (int i = 3; i < 256; ++i) Map.Append(static_cast<TColor>(i));
    try {
        Map.Append(0);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::ColorTableOverflow);
    }
    EXPECT_EQ(Map.Count(), 256);
}

TEST(ColorMap, ReadTableKeepsPaddingAndFailsOnShortData) {
    TGIFSubImage Frame(nullptr);
    TMemoryStream S;
    test::Fill(S, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0});
    Frame.LocalMap().ReadTable(S, 4);
    EXPECT_EQ(Frame.LocalMap().Count(), 4);
    EXPECT_EQ(Frame.LocalMap().ColorAt(2), 0x090807);
    EXPECT_FALSE(Frame.LocalMap().Sorted());

    test::Fill(S, {1, 2, 3});
    EXPECT_THROW(Frame.LocalMap().ReadTable(S, 2), GIFException);
    EXPECT_EQ(Frame.LocalMap().Count(), 0);
}

// Pixels 3, 3, 3, 1 over four entries: entries [old 3, old 1], pixels 0, 0, 0, 1, and a
// transparent index 3 becomes 0.
TEST(ColorMap, SortByUsageReordersDropsAndRemaps) {
    TGIFImage Image;
    auto Owned = std::make_unique<TGIFSubImage>(&Image);
    TGIFSubImage* Frame = Owned.get();
    Image.AddFrame(std::move(Owned));
    for (TColor C : {Red, Green, Blue, White}) Frame->LocalMap().Append(C);
    Frame->Place(0, 0, 4, 1);
    const uint8_t Pixels[4] = {3, 3, 3, 1};
    std::copy(Pixels, Pixels + 4, Frame->IndexData());
    auto* Control = new TGIFGraphicControlExtension(Frame);
    Frame->ExtensionList().Append(std::unique_ptr<TGIFItem>(Control));
    Control->SetUsesTransparency(true);
    Control->SetTransparentSlot(3);

    ASSERT_TRUE(Frame->LocalMap().Compact());
    EXPECT_EQ(Frame->LocalMap().Count(), 2);
    EXPECT_EQ(Frame->LocalMap().ColorAt(0), White);
    EXPECT_EQ(Frame->LocalMap().ColorAt(1), Green);
    EXPECT_EQ(Bytes(Frame->IndexData(), Frame->IndexData() + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(Control->TransparentSlot(), 0);
}

TEST(ColorMap, SortByUsageEdgeCases) {
    // Already in decreasing order of use: nothing moves, but the map is sorted.
    TGIFSubImage Frame(nullptr);
    for (TColor C : {Red, Green}) Frame.LocalMap().Append(C);
    Frame.Place(0, 0, 3, 1);
    Frame.IndexData()[2] = 1;
    EXPECT_TRUE(Frame.LocalMap().SortByUsage());
    EXPECT_TRUE(Frame.LocalMap().Sorted());
    EXPECT_EQ(Frame.LocalMap().ColorAt(0), Red);
    EXPECT_EQ(Frame.LocalMap().Count(), 2);

    // One entry: nothing to do.
    TGIFSubImage One(nullptr);
    One.LocalMap().Append(Red);
    EXPECT_FALSE(One.LocalMap().SortByUsage());
    EXPECT_FALSE(One.LocalMap().Sorted());

    // A global map of an image without frames does not compact.
    TGIFImage Image;
    Image.ScreenColorMap().Append(Red);
    Image.ScreenColorMap().Append(Green);
    EXPECT_FALSE(Image.ScreenColorMap().Compact());
}

TEST(ColorMap, GlobalSortCountsOnlyFramesUsingIt) {
    TGIFImage Image;
    Image.ScreenColorMap().Append(Red);
    Image.ScreenColorMap().Append(Green);
    auto A = std::make_unique<TGIFSubImage>(&Image); // uses the global map
    A->Place(0, 0, 2, 1);
    A->IndexData()[0] = A->IndexData()[1] = 1;
    TGIFSubImage* FrameA = A.get();
    Image.AddFrame(std::move(A));
    auto B = std::make_unique<TGIFSubImage>(&Image); // has its own map
    B->LocalMap().Append(Blue);
    B->LocalMap().Append(White);
    B->Place(0, 0, 2, 1);
    TGIFSubImage* FrameB = B.get();
    Image.AddFrame(std::move(B));

    ASSERT_TRUE(Image.ScreenColorMap().Compact());
    EXPECT_EQ(Image.ScreenColorMap().Count(), 1);
    EXPECT_EQ(Image.ScreenColorMap().ColorAt(0), Green);
    EXPECT_EQ(FrameA->IndexData()[0], 0);
    EXPECT_EQ(FrameB->IndexData()[0], 0); // untouched
    EXPECT_EQ(FrameB->LocalMap().Count(), 2);
}

TEST(ColorMap, AssignAndPalettes) {
    TGIFSubImage A(nullptr), B(nullptr);
    for (TColor C : {Red, Green, Blue}) A.LocalMap().Append(C);
    B.LocalMap().Assign(&A.LocalMap());
    EXPECT_EQ(TableBytes(B.LocalMap()), TableBytes(A.LocalMap()));
    TStringList NotAMap;
    EXPECT_THROW(B.LocalMap().Assign(&NotAMap), EConvertError);

    HPALETTE P = A.LocalMap().ToPalette();
    ASSERT_TRUE(P);
    TPaletteEntry E[4];
    ASSERT_EQ(GetPaletteEntries(P, 0, 4, E), 3u);
    EXPECT_EQ(E[2].peBlue, 0xFF);
    EXPECT_EQ(E[2].peFlags, PC_NOCOLLAPSE);
    TGIFSubImage C(nullptr);
    C.LocalMap().FromPalette(P);
    EXPECT_EQ(TableBytes(C.LocalMap()), TableBytes(A.LocalMap()));
    EXPECT_FALSE(TGIFSubImage(nullptr).LocalMap().ToPalette());

    const RGBQUAD Quads[2] = {{1, 2, 3, 0}, {4, 5, 6, 0}}; // blue, green, red
    C.LocalMap().FromRGBQuads(Quads, 2);
    EXPECT_EQ(TableBytes(C.LocalMap()), (Bytes{3, 2, 1, 6, 5, 4}));
}

} // namespace
} // namespace mv

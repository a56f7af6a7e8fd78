#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

namespace mv {
namespace {

using test::Bytes;

// A one-frame 10 x 20 image whose frame uses the global black/white map.
struct BlackWhite {
    TGIFImage Image;
    TGIFSubImage* Frame;
    BlackWhite() {
        Image.ScreenColorMap().Append(0x000000);
        Image.ScreenColorMap().Append(0xFFFFFF);
        auto F = std::make_unique<TGIFSubImage>(&Image);
        F->Place(0, 0, 10, 20);
        Frame = F.get();
        Image.AddFrame(std::move(F));
    }
    Bytes HeaderBytes(size_t N) {
        TMemoryStream S;
        Image.ScreenHeader().SaveToStream(S);
        Bytes B = S.Bytes();
        B.resize(std::min(N, B.size()));
        return B;
    }
};

TEST(Header, BlackWhiteScreenGoldenBytes) {
    BlackWhite G;
    EXPECT_EQ(G.HeaderBytes(100), (Bytes{0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x0A, 0x00, 0x14, 0x00,
                                         0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF}));
}

TEST(Header, SortedGlobalMapSetsTheFlagButNotTheVersion) {
    BlackWhite G;
    G.Frame->IndexData()[0] = 1; // white used once, black 199 times: already in order
    ASSERT_TRUE(G.Image.ScreenColorMap().Compact());
    ASSERT_TRUE(G.Image.ScreenColorMap().Sorted());
    Bytes B = G.HeaderBytes(13);
    EXPECT_EQ(std::string(B.begin(), B.begin() + 6), "GIF87a");
    EXPECT_EQ(B[10], 0x88);
    EXPECT_EQ(G.Image.ScreenHeader().RequiredVersion(), gr89a);
}

TEST(Header, SizeAndResolutionFields) {
    // 3 global entries: size field 1 and 4 entries written, the last black.
    BlackWhite A;
    A.Image.ScreenColorMap().Append(0x00FF00);
    Bytes B = A.HeaderBytes(100);
    ASSERT_EQ(B.size(), 13u + 12u);
    EXPECT_EQ(B[10], 0x91);
    EXPECT_EQ(Bytes(B.end() - 3, B.end()), (Bytes{0, 0, 0}));

    // 2 global entries and a frame with a 200-entry local map: size 0, resolution 7.
    BlackWhite C;
    for (int i = 0; i < 200; ++i) C.Frame->LocalMap().Append(i);
    B = C.HeaderBytes(100);
    EXPECT_EQ(B[10], 0xF0);
    EXPECT_EQ(B.size(), 13u + 6u);

    // No global map: bits 2-0 from the highest frame index bits.
    TGIFImage D;
    auto F = std::make_unique<TGIFSubImage>(&D);
    for (int i = 0; i < 5; ++i) F->LocalMap().Append(i);
    F->Place(0, 0, 1, 1);
    D.AddFrame(std::move(F));
    D.ScreenHeader().UpdateFlags();
    EXPECT_EQ(D.ScreenHeader().Screen().Flags, 0x22);
}

TEST(Header, ImageWithoutFramesCannotBeWritten) {
    TGIFImage Image;
    TMemoryStream S;
    try {
        Image.ScreenHeader().SaveToStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::UnsupportedVersion);
    }
    EXPECT_EQ(S.Size(), 0);
}

TEST(Header, ReadsSignaturesVersionsAndPrefixes) {
    const Bytes Rest = {0x0A, 0x00, 0x14, 0x00, 0x00, 0x05, 0x31};
    const struct {
        Bytes Start;
        bool Loads;
    } Cases[] = {
        {{'g', 'i', 'f', '8', '9', 'a'}, true},
        {{'G', 'I', 'F', '9', '0', 'a'}, true},
        {{1, 2, 3, 4, 'G', 'I', 'F', '8', '7', 'a'}, true},
        {{1, 2, 3, 'G', 'I', 'F', '8', '7', 'a'}, false},
        {{'G', 'I', 'X', '8', '7', 'a'}, false},
    };
    for (const auto& C : Cases) {
        TGIFHeader Header(nullptr);
        TMemoryStream S;
        test::Fill(S, test::Concat({C.Start, Rest, Bytes(10, 0)}));
        if (C.Loads) {
            Header.LoadFromStream(S);
            EXPECT_EQ(Header.Screen().LogicalWidth, 10);
            EXPECT_EQ(Header.Screen().LogicalHeight, 20);
            EXPECT_EQ(Header.Screen().BackgroundIndex, 5);
            EXPECT_EQ(Header.Screen().PixelAspect, 0x31);
            EXPECT_EQ(S.Position(), static_cast<int64_t>(C.Start.size() + 7));
        } else {
            try {
                Header.LoadFromStream(S);
                ADD_FAILURE() << "loaded";
            } catch (const GIFException& E) {
                EXPECT_STREQ(E.what(), gifmsg::InvalidSignature);
            }
        }
    }
}

TEST(Header, ReadsTheGlobalTable) {
    TGIFHeader Header(nullptr);
    TMemoryStream S;
    test::Fill(S, test::Concat({test::PlainHeader(1, 1, 0x87), Bytes(768, 7)}));
    Header.LoadFromStream(S);
    EXPECT_EQ(Header.ColorMap().Count(), 256);
    EXPECT_EQ(S.Position(), 13 + 768);

    test::Fill(S, test::PlainHeader(1, 1, 0x00));
    Header.LoadFromStream(S);
    EXPECT_EQ(Header.ColorMap().Count(), 0);

    test::Fill(S, test::Concat({test::PlainHeader(1, 1, 0x81), Bytes(5, 0)}));
    EXPECT_THROW(Header.LoadFromStream(S), GIFException); // 4 entries promised, 5 bytes there
    test::Fill(S, Bytes{'G', 'I', 'F', '8', '9', 'a', 1});
    EXPECT_THROW(Header.LoadFromStream(S), GIFException);
}

TEST(Header, AssignCopiesDescriptorAndMap) {
    BlackWhite G;
    G.Image.ScreenHeader().Screen().BackgroundIndex = 1;
    TGIFHeader Copy(nullptr);
    Copy.Assign(&G.Image.ScreenHeader());
    EXPECT_EQ(Copy.Screen().LogicalHeight, 20);
    EXPECT_EQ(Copy.BackColor(), 0xFFFFFF);
    Copy.Assign(&G.Frame->LocalMap()); // an empty map: an empty header
    EXPECT_EQ(Copy.Screen().LogicalHeight, 0);
    EXPECT_EQ(Copy.ColorMap().Count(), 0);
}

TEST(Trailer, WritesAndChecksTheTrailerByte) {
    TGIFImage Image;
    test::TWarningLog Log;
    Log.Attach(Image);
    TGIFTrailer Trailer(&Image);
    TMemoryStream S;
    Trailer.SaveToStream(S);
    EXPECT_EQ(S.Bytes(), Bytes{0x3B});

    S.SetPosition(0);
    Trailer.LoadFromStream(S);
    test::Fill(S, {});
    Trailer.LoadFromStream(S); // data ends before the trailer: accepted
    EXPECT_TRUE(Log.Items.empty());
    test::Fill(S, {0x00});
    Trailer.LoadFromStream(S);
    ASSERT_EQ(Log.Items.size(), 1u);
    EXPECT_EQ(Log.Items[0].Sender, &Trailer);
    EXPECT_EQ(Log.Items[0].Message, gifmsg::BadTrailer);
}

} // namespace
} // namespace mv

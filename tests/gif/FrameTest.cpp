#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

namespace mv {
namespace {

using test::Bytes;

struct ImageWithFrame {
    TGIFImage Image;
    test::TWarningLog Log;
    TGIFSubImage* Frame;
    ImageWithFrame() {
        Log.Attach(Image);
        auto F = std::make_unique<TGIFSubImage>(&Image);
        Frame = F.get();
        Image.AddFrame(std::move(F));
    }
};

TEST(Frame, SizingANewFrameGrowsANewScreenSilently) {
    ImageWithFrame G;
    EXPECT_TRUE(G.Frame->IsEmpty());
    G.Frame->SetWidth(100);
    G.Frame->SetHeight(50);
    EXPECT_EQ(G.Image.Width(), 100);
    EXPECT_EQ(G.Image.Height(), 50);
    EXPECT_TRUE(G.Log.Items.empty());
    ASSERT_EQ(G.Frame->IndexSize(), 5000);
    EXPECT_FALSE(G.Frame->IsEmpty());
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(G.Frame->IndexData()[i], 0);

    G.Frame->Place(90, 0, 20, 10);
    EXPECT_EQ(G.Log.Messages(),
              (std::vector<std::string>{gifmsg::ImageWidthTooSmall, gifmsg::ScreenSizeExceeded}));
    EXPECT_EQ(G.Log.Items[0].Sender, G.Frame);
    EXPECT_EQ(G.Image.Width(), 110);
    EXPECT_EQ(G.Image.Height(), 50);
    TRect R = G.Frame->FrameRect();
    EXPECT_EQ((std::vector<int32_t>{R.Left, R.Top, R.Right, R.Bottom}),
              (std::vector<int32_t>{90, 0, 110, 10}));
}

TEST(Frame, NewSizeNewPixelsSameSizeKeepsThem) {
    TGIFSubImage Frame(nullptr);
    Frame.Place(0, 0, 10, 10);
    Frame.IndexData()[5] = 9;
    Frame.Place(3, 4, 10, 10);
    EXPECT_EQ(Frame.IndexData()[5], 9);
    Frame.SetWidth(20);
    ASSERT_EQ(Frame.IndexSize(), 200);
    EXPECT_EQ(Frame.IndexData()[5], 0);
}

TEST(Frame, PixelAccess) {
    TGIFSubImage Frame(nullptr);
    Frame.Place(0, 0, 10, 10);
    Frame.RowPointer(2)[3] = 7;
    EXPECT_EQ(Frame.PixelAt(3, 2), 7);
    for (auto XY : {std::pair{10, 0}, std::pair{-1, 0}, std::pair{0, 10}, std::pair{0, -1}}) {
        try {
            Frame.PixelAt(XY.first, XY.second);
            ADD_FAILURE();
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), gifmsg::BadPixelCoordinates);
        }
    }
    Frame.ReleasePixels();
    EXPECT_TRUE(Frame.IsEmpty());
    EXPECT_EQ(Frame.PixelAt(0, 0), 0); // a new zero-filled buffer
    EXPECT_EQ(Frame.IndexSize(), 100);

    TGIFSubImage Flat(nullptr);
    Flat.Place(0, 0, 10, 0);
    try {
        Flat.EnsurePixels();
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::EmptyImage);
    }
}

Bytes SavedFrame(TGIFSubImage& Frame) {
    TMemoryStream S;
    Frame.SaveToStream(S);
    return S.Bytes();
}

TEST(Frame, DescriptorFlagsAsWritten) {
    // A sorted local map of 5 entries: 0xA2 and 8 entries, the interlace bit dropped.
    TGIFSubImage Sorted(nullptr);
    for (int i = 0; i < 5; ++i) Sorted.LocalMap().Append(0x010101 * (i + 1));
    Sorted.Place(1, 2, 15, 1);
    const uint8_t Pixels[15] = {0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 4};
    std::copy(Pixels, Pixels + 15, Sorted.IndexData());
    ASSERT_TRUE(Sorted.LocalMap().Compact());
    ASSERT_EQ(Sorted.LocalMap().Count(), 5);
    Sorted.Descriptor().Flags = 0x40;
    Bytes B = SavedFrame(Sorted);
    ASSERT_GE(B.size(), 10u + 24u);
    EXPECT_EQ(Bytes(B.begin(), B.begin() + 10),
              (Bytes{0x2C, 0x01, 0x00, 0x02, 0x00, 0x0F, 0x00, 0x01, 0x00, 0xA2}));
    EXPECT_EQ(Bytes(B.begin() + 10 + 15, B.begin() + 10 + 24), Bytes(9, 0)); // padding
    EXPECT_EQ(Sorted.RequiredVersion(), gr89a);
    EXPECT_FALSE(Sorted.IsInterlaced());

    // No local map: table flag, sort flag and size cleared, interlace and reserved kept.
    TGIFSubImage Plain(nullptr);
    Plain.Place(0, 0, 2, 2);
    Plain.Descriptor().Flags = 0xC7;
    B = SavedFrame(Plain);
    EXPECT_EQ(B[9], 0x40);
    Plain.Descriptor().Flags = 0xFF;
    Plain.UpdateFlags();
    EXPECT_EQ(Plain.Descriptor().Flags, 0x58);
    EXPECT_EQ(Plain.RequiredVersion(), gr87a);
}

TEST(Frame, ExtensionsOnlyFrameWritesOnlyThem) {
    TGIFSubImage Frame(nullptr);
    auto* Comment = new TGIFCommentExtension(&Frame);
    Frame.ExtensionList().Append(std::unique_ptr<TGIFItem>(Comment));
    Comment->FLines.Add("A");
    EXPECT_EQ(SavedFrame(Frame), (Bytes{0x21, 0xFE, 0x01, 0x41, 0x00}));
    EXPECT_EQ(Frame.RequiredVersion(), gr89a);
}

// Loads Data (after the 13-byte header of Header) into a new image's frame list.
struct Loaded {
    TGIFImage Image;
    test::TWarningLog Log;
    TMemoryStream S;
    Loaded(const Bytes& Header, const Bytes& Blocks) {
        Log.Attach(Image);
        test::Fill(S, test::Concat({Header, Blocks}));
        Image.ScreenHeader().LoadFromStream(S);
        Image.Frames().LoadFromStream(S, &Image);
    }
};

TEST(Frame, ZeroSizeFrameTakesTheScreenSize) {
    Loaded L(test::PlainHeader(320, 200),
             test::Concat({test::Descriptor(0, 0), test::EmptyData()}));
    ASSERT_EQ(L.Image.Frames().Count(), 1);
    TGIFSubImage* Frame = L.Image.Frames().FrameAt(0);
    EXPECT_EQ(Frame->Width(), 320);
    EXPECT_EQ(Frame->Height(), 200);
    EXPECT_EQ(Frame->IndexSize(), 320 * 200);
    EXPECT_EQ(L.Log.Messages(), std::vector<std::string>{gifmsg::ScreenSizeExceeded});
    EXPECT_EQ(L.Log.Items[0].Sender, Frame);

    // On a 0 x 0 screen it stays empty and writes nothing but its extensions.
    Loaded Z(test::PlainHeader(0, 0), test::Concat({test::Descriptor(0, 0), test::EmptyData()}));
    ASSERT_EQ(Z.Image.Frames().Count(), 1);
    EXPECT_TRUE(Z.Image.Frames().FrameAt(0)->IsEmpty());
    EXPECT_TRUE(SavedFrame(*Z.Image.Frames().FrameAt(0)).empty());
}

TEST(Frame, LocalTableIsRead) {
    Loaded L(test::PlainHeader(2, 1), test::Concat({test::Descriptor(2, 1, 0x81),
                                                    Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0},
                                                    test::EmptyData(),
                                                    {0x3B}}));
    ASSERT_EQ(L.Image.Frames().Count(), 1);
    EXPECT_EQ(L.Image.Frames().FrameAt(0)->LocalMap().Count(), 4);
    EXPECT_EQ(L.S.Position(), L.S.Size() - 1); // the trailer is left for the image
    EXPECT_TRUE(L.Log.Items.empty());
}

TEST(Frame, BlockSequenceTolerances) {
    // Zero bytes between blocks are skipped; trailing extensions make one more frame.
    Loaded L(test::PlainHeader(1, 1),
             test::Concat({Bytes{0, 0}, test::Descriptor(1, 1), test::EmptyData(), Bytes{0, 0, 0},
                           test::Descriptor(1, 1), test::EmptyData(),
                           Bytes{0x21, 0xFE, 0x01, 0x41, 0x00, 0x3B}}));
    ASSERT_EQ(L.Image.Frames().Count(), 3);
    TGIFSubImage* Last = L.Image.Frames().FrameAt(2);
    EXPECT_TRUE(Last->IsEmpty());
    ASSERT_EQ(Last->ExtensionList().Count(), 1);
    EXPECT_EQ(SavedFrame(*Last), (Bytes{0x21, 0xFE, 0x01, 0x41, 0x00}));
    EXPECT_TRUE(L.Log.Items.empty());

    // An unknown block type stops the list with a warning from the list.
    Loaded U(test::PlainHeader(1, 1),
             test::Concat({test::Descriptor(1, 1), test::EmptyData(), Bytes{0x99, 0x3B}}));
    EXPECT_EQ(U.Image.Frames().Count(), 1);
    ASSERT_EQ(U.Log.Messages(), std::vector<std::string>{gifmsg::UnknownBlockType});
    EXPECT_EQ(U.Log.Items[0].Sender, &U.Image.Frames());
    EXPECT_EQ(U.S.Position(), U.S.Size() - 2);
}

TEST(Frame, LoadErrorsKeepEarlierFrames) {
    const struct {
        Bytes Blocks;
        const char* Message;
    } Cases[] = {
        {{0x21, 0x02, 0x00}, gifmsg::UnknownExtension},
        {{0x2C, 0, 0, 0}, gifmsg::PrematureEnd},
        {test::Concat({test::Descriptor(1, 1, 0x82), Bytes(5, 0)}), gifmsg::PrematureEnd},
    };
    for (const auto& C : Cases) {
        TGIFImage Image;
        TMemoryStream S;
        test::Fill(S, test::Concat({test::PlainHeader(1, 1), test::Descriptor(1, 1),
                                    test::EmptyData(), C.Blocks}));
        Image.ScreenHeader().LoadFromStream(S);
        try {
            Image.Frames().LoadFromStream(S, &Image);
            ADD_FAILURE() << C.Message;
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), C.Message);
        }
        EXPECT_EQ(Image.Frames().Count(), 1);
    }
}

TEST(Frame, AssignFromAFrameIsADeepCopy) {
    ImageWithFrame G;
    TGIFSubImage* Source = G.Frame;
    Source->LocalMap().Append(0x112233);
    Source->LocalMap().Append(0x445566);
    Source->Place(2, 3, 4, 5);
    Source->IndexData()[7] = 1;
    auto* Control = new TGIFGraphicControlExtension(Source);
    Source->ExtensionList().Append(std::unique_ptr<TGIFItem>(Control));
    Control->SetUsesTransparency(true);
    Control->SetTransparentSlot(1);

    TGIFSubImage Copy(&G.Image);
    Copy.Assign(Source);
    EXPECT_EQ(Copy.FrameRect().Right, 6);
    EXPECT_EQ(Copy.FrameRect().Bottom, 8);
    EXPECT_TRUE(Copy.HasTransparency());
    EXPECT_EQ(Copy.IndexData()[7], 1);
    EXPECT_NE(Copy.IndexData(), Source->IndexData());
    EXPECT_EQ(Copy.LocalMap().Count(), 2);
    ASSERT_EQ(Copy.ExtensionList().Count(), 1);
    ASSERT_NE(Copy.ControlExtension(), nullptr);
    EXPECT_NE(Copy.ControlExtension(), Control);
    EXPECT_EQ(Copy.ControlExtension()->TransparentSlot(), 1);
    EXPECT_EQ(SavedFrame(Copy), SavedFrame(*Source));

    Copy.Assign(nullptr);
    EXPECT_TRUE(Copy.IsEmpty());
    EXPECT_EQ(Copy.ExtensionList().Count(), 0);
    TStringList Other;
    EXPECT_THROW(Copy.Assign(&Other), EConvertError);
}

TEST(Frame, DestroyingAFrameTakesItOutOfItsImage) {
    ImageWithFrame G;
    ASSERT_EQ(G.Image.Frames().Count(), 1);
    delete G.Frame;
    EXPECT_EQ(G.Image.Frames().Count(), 0);
}

TEST(Frame, EffectiveMap) {
    ImageWithFrame G;
    EXPECT_EQ(&G.Frame->EffectiveMap(), &G.Frame->LocalMap());
    G.Image.ScreenColorMap().Append(1);
    EXPECT_EQ(&G.Frame->EffectiveMap(), &G.Image.ScreenColorMap());
    G.Frame->LocalMap().Append(2);
    EXPECT_EQ(&G.Frame->EffectiveMap(), &G.Frame->LocalMap());
}

} // namespace
} // namespace mv

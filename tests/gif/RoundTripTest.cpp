// Whole files: what we write we read back to the same document, and files written by an
// independent encoder decode to the indices it was given.
#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

#include <random>

namespace mv {
namespace {

using test::Bytes;

Bytes Save(TGIFImage& Image) {
    TMemoryStream S;
    Image.SaveToStream(S);
    return S.Bytes();
}

void Load(TGIFImage& Image, const Bytes& Data) {
    TMemoryStream S;
    test::Fill(S, Data);
    Image.LoadFromStream(S);
}

Bytes Pixels(const TGIFSubImage& Frame) {
    return Bytes(Frame.IndexData(), Frame.IndexData() + Frame.IndexSize());
}

Bytes Table(const TGIFColorMap& Map) {
    TMemoryStream S;
    Map.WriteTable(S);
    return S.Bytes();
}

struct RoundTripCase {
    int Depth;
    bool Interlaced;
    TGIFCompressionMethod Method;
};

class RandomPixels : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RandomPixels, SurviveSaveAndLoad) {
    const RoundTripCase C = GetParam();
    std::mt19937 Random(static_cast<uint32_t>(C.Depth * 31 + C.Interlaced * 7 + C.Method));
    const int Colors = 1 << C.Depth;
    TGIFImage Image;
    Image.CompressionMethod = C.Method;
    // The interlace bit is kept only by frames without a local table, so those use the
    // global one; the others carry a local table of the full size.
    const bool Local = !C.Interlaced;
    if (!Local)
        for (int i = 0; i < Colors; ++i)
            Image.ScreenColorMap().Append(static_cast<TColor>(i * 0x010203));
    const struct {
        uint16_t Left, Top, Width, Height;
    } Shapes[] = {{0, 0, 61, 37}, {3, 5, 1, 1}, {10, 2, 17, 9}, {0, 0, 255, 3}};
    for (const auto& Shape : Shapes) {
        auto F = std::make_unique<TGIFSubImage>(&Image);
        if (Local)
            for (int i = 0; i < Colors; ++i)
                F->LocalMap().Append(static_cast<TColor>(Random() & 0xFFFFFF));
        F->Place(Shape.Left, Shape.Top, Shape.Width, Shape.Height);
        if (C.Interlaced) F->Descriptor().Flags |= 0x40;
        for (int i = 0; i < F->IndexSize(); ++i)
            F->IndexData()[i] = static_cast<uint8_t>(Random() % Colors);
        Image.AddFrame(std::move(F));
    }
    const Bytes Written = Save(Image);

    TGIFImage Read;
    test::TWarningLog Log;
    Log.Attach(Read);
    Load(Read, Written);
    EXPECT_TRUE(Log.Items.empty()) << Log.Items[0].Message;
    ASSERT_EQ(Read.Frames().Count(), Image.Frames().Count());
    EXPECT_EQ(Read.Width(), Image.Width());
    EXPECT_EQ(Read.Height(), Image.Height());
    EXPECT_EQ(Table(Read.ScreenColorMap()), Table(Image.ScreenColorMap()));
    for (int i = 0; i < Image.Frames().Count(); ++i) {
        TGIFSubImage* A = Image.Frames().FrameAt(i);
        TGIFSubImage* B = Read.Frames().FrameAt(i);
        EXPECT_EQ(B->FrameRect().Left, A->FrameRect().Left);
        EXPECT_EQ(B->FrameRect().Bottom, A->FrameRect().Bottom);
        EXPECT_EQ(B->IsInterlaced(), C.Interlaced);
        EXPECT_EQ(Table(B->LocalMap()), Table(A->LocalMap()));
        EXPECT_EQ(Pixels(*B), Pixels(*A)) << "frame " << i;
    }
    // The compression method is the reader's setting; with the same one the bytes repeat.
    Read.CompressionMethod = C.Method;
    EXPECT_EQ(Save(Read), Written);
}

std::vector<RoundTripCase> AllCases() {
    std::vector<RoundTripCase> Out;
    for (int Depth = 1; Depth <= 8; ++Depth)
        for (bool Interlaced : {false, true})
            for (TGIFCompressionMethod Method : {cpLZW, cpRunLength})
                Out.push_back({Depth, Interlaced, Method});
    return Out;
}

INSTANTIATE_TEST_SUITE_P(Depths, RandomPixels, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<RoundTripCase>& I) {
                             std::string Name = "d";
                             Name += std::to_string(I.param.Depth);
                             Name += I.param.Interlaced ? "_interlaced" : "_plain";
                             Name += I.param.Method == cpLZW ? "_lzw" : "_rle";
                             return Name;
                         });

TEST(RoundTrip, ExtensionsAndTrailingExtensionsComeBackByteForByte) {
    TGIFImage Image;
    Image.ScreenColorMap().Append(0x000000);
    Image.ScreenColorMap().Append(0xFFFFFF);
    auto F = std::make_unique<TGIFSubImage>(&Image);
    TGIFSubImage* Frame = F.get();
    Image.AddFrame(std::move(F));
    auto Loop = std::make_unique<TGIFAppExtNSLoop>(Frame);
    Loop->FLoopCount = 3;
    Frame->ExtensionList().Append(std::move(Loop));
    auto Control = std::make_unique<TGIFGraphicControlExtension>(Frame);
    Control->SetDelayHundredths(25);
    Control->SetDisposalMode(fdRestorePrevious);
    Frame->ExtensionList().Append(std::move(Control));
    Frame->ControlExtension()->SetUsesTransparency(true);
    auto Text = std::make_unique<TGIFTextExtension>(Frame);
    Text->FGrid.GridWidth = 40;
    Text->FLines.Add(std::string(300, 'x'));
    Frame->ExtensionList().Append(std::move(Text));
    Frame->Place(0, 0, 8, 8);
    for (int i = 0; i < 64; ++i) Frame->IndexData()[i] = static_cast<uint8_t>(i % 2);
    Frame->ControlExtension()->SetTransparentSlot(1);
    // Extensions after the last image: a frame of their own.
    auto Tail = std::make_unique<TGIFSubImage>(&Image);
    auto Comment = std::make_unique<TGIFCommentExtension>(Tail.get());
    Comment->FLines.Add("A");
    Tail->ExtensionList().Append(std::move(Comment));
    Image.AddFrame(std::move(Tail));

    const Bytes Written = Save(Image);
    const Bytes Ending = {0x21, 0xFE, 0x01, 0x41, 0x00, 0x3B};
    ASSERT_GE(Written.size(), Ending.size());
    EXPECT_EQ(Bytes(Written.end() - 6, Written.end()), Ending);
    EXPECT_EQ(std::string(Written.begin(), Written.begin() + 6), "GIF89a");

    TGIFImage Read;
    Load(Read, Written);
    ASSERT_EQ(Read.Frames().Count(), 2);
    TGIFSubImage* First = Read.Frames().FrameAt(0);
    ASSERT_EQ(First->ExtensionList().Count(), 3);
    EXPECT_EQ(dynamic_cast<TGIFAppExtNSLoop&>(*First->ExtensionList().ExtensionAt(0)).FLoopCount,
              3);
    ASSERT_NE(First->ControlExtension(), nullptr);
    EXPECT_TRUE(First->HasTransparency());
    EXPECT_EQ(First->ControlExtension()->DisposalMode(), fdRestorePrevious);
    EXPECT_EQ(First->ControlExtension()->DelayHundredths(), 25);
    auto& ReadText = dynamic_cast<TGIFTextExtension&>(*First->ExtensionList().ExtensionAt(2));
    EXPECT_EQ(ReadText.FLines.Count(), 2); // one line per sub-block
    EXPECT_EQ(Pixels(*First), Pixels(*Frame));
    EXPECT_TRUE(Read.Frames().FrameAt(1)->IsEmpty());
    EXPECT_EQ(Save(Read), Written);
}

TEST(RoundTrip, TruncatedFilesLoadWhatTheyHold) {
    TGIFImage Image;
    for (int i = 0; i < 4; ++i) Image.ScreenColorMap().Append(i * 0x111111);
    for (int n = 0; n < 3; ++n) {
        auto F = std::make_unique<TGIFSubImage>(&Image);
        F->ExtensionList().Append(std::make_unique<TGIFGraphicControlExtension>(F.get()));
        F->Place(0, 0, 20, 10);
        for (int i = 0; i < 200; ++i) F->IndexData()[i] = static_cast<uint8_t>((i * 7 + n) % 4);
        Image.AddFrame(std::move(F));
    }
    const Bytes Written = Save(Image);
    // Every prefix either loads (with warnings at most) or fails with the library's error,
    // the stream back at its start.
    for (size_t Cut = 0; Cut < Written.size(); ++Cut) {
        TGIFImage Read;
        Read.OnWarningReport = [](TObject*, uint8_t, const std::string&) {};
        TMemoryStream S;
        test::Fill(S, Bytes(Written.begin(), Written.begin() + static_cast<long>(Cut)));
        try {
            Read.LoadFromStream(S);
        } catch (const GIFException&) {
            EXPECT_EQ(S.Position(), 0) << Cut;
        }
        EXPECT_LE(Read.Frames().Count(), 3);
    }
}

// Fixtures written with giflib's encoder (EGif API): a 37 x 23 frame of index
// (7x + 13y + xy) mod 2^depth with a global table of 2^depth entries, interlaced at even
// depths; giflib_two_frames.gif adds a comment and a 20 x 11 interlaced frame at (5, 3) with
// an 8-entry local table and index (7x + 13y + xy + 1) mod 8.
uint8_t Pattern(int X, int Y, int Seed, int Colors) {
    return static_cast<uint8_t>((X * 7 + Y * 13 + X * Y + Seed) % Colors);
}

void ExpectPattern(const TGIFSubImage& Frame, int Seed, int Colors) {
    ASSERT_NE(Frame.IndexData(), nullptr);
    for (int Y = 0; Y < Frame.Height(); ++Y)
        for (int X = 0; X < Frame.Width(); ++X)
            ASSERT_EQ(Frame.IndexData()[Y * Frame.Width() + X], Pattern(X, Y, Seed, Colors))
                << X << "," << Y;
}

TEST(RoundTrip, ReadsGIFsOfAnIndependentEncoder) {
    for (int Depth = 1; Depth <= 8; ++Depth) {
        SCOPED_TRACE(Depth);
        TGIFImage Image;
        test::TWarningLog Log;
        Log.Attach(Image);
        Image.LoadFromFile(std::string(MORVELLAN_TEST_DATA) + "/giflib/giflib_d" +
                           std::to_string(Depth) + ".gif");
        EXPECT_TRUE(Log.Items.empty());
        ASSERT_EQ(Image.Frames().Count(), 1);
        EXPECT_EQ(Image.Width(), 37);
        EXPECT_EQ(Image.ScreenColorMap().Count(), 1 << Depth);
        EXPECT_EQ(Image.Frames().FrameAt(0)->IsInterlaced(), Depth % 2 == 0);
        ExpectPattern(*Image.Frames().FrameAt(0), 0, 1 << Depth);
    }
    TGIFImage Image;
    Image.LoadFromFile(std::string(MORVELLAN_TEST_DATA) + "/giflib/giflib_two_frames.gif");
    ASSERT_EQ(Image.Frames().Count(), 2);
    TGIFSubImage* First = Image.Frames().FrameAt(0);
    ASSERT_EQ(First->ExtensionList().Count(), 1);
    EXPECT_EQ(dynamic_cast<TGIFCommentExtension&>(*First->ExtensionList().ExtensionAt(0)).FLines[0],
              "giflib");
    ExpectPattern(*First, 0, 64);
    TGIFSubImage* Second = Image.Frames().FrameAt(1);
    EXPECT_EQ(Second->Left(), 5);
    EXPECT_EQ(Second->Top(), 3);
    EXPECT_EQ(Second->LocalMap().Count(), 8);
    ExpectPattern(*Second, 1, 8);

    // Written again by us and read back: the same indices.
    TGIFImage Again;
    Load(Again, Save(Image));
    ExpectPattern(*Again.Frames().FrameAt(1), 1, 8);
}

} // namespace
} // namespace mv

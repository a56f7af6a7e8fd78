#include "gif/GIFImage.h"
#include "gif/GIFLimits.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

namespace mv {
namespace {

using test::Bytes;

struct TProgressRecord {
    TObject* Sender;
    TProgressStage Stage;
    int Percent;
    bool Redraw;
    std::string Message;
};

struct TProgressLog {
    std::vector<TProgressRecord> Items;
    void Attach(TGIFImage& Image) {
        Image.OnProgress = [this](TObject* Sender, TProgressStage Stage, uint8_t Percent,
                                  bool Redraw, const TRect&, const std::string& Message) {
            Items.push_back({Sender, Stage, Percent, Redraw, Message});
        };
    }
};

// A GIF of N frames of 1 x 1, each with code-size-2 data holding no pixel.
Bytes SmallGIF(int N, Bytes Trailer = {0x3B}) {
    Bytes Out = test::PlainHeader(1, 1);
    for (int i = 0; i < N; ++i)
        Out = test::Concat({Out, test::Descriptor(1, 1), test::EmptyData()});
    return test::Concat({Out, Trailer});
}

TEST(GIFImage, Defaults) {
    TGIFImage Image;
    EXPECT_EQ(Image.ClassName(), "TGIFImage");
    EXPECT_TRUE(Image.Empty());
    EXPECT_EQ(Image.Width(), 0);
    EXPECT_EQ(Image.Height(), 0);
    EXPECT_EQ(Image.RequiredVersion(), grNone);
    EXPECT_EQ(Image.PaintOptions, 0x060F);
    EXPECT_EQ(Image.ReductionMethod, 6);
    EXPECT_EQ(Image.PaletteBits, 8);
    EXPECT_EQ(Image.DitherKind, 0);
    EXPECT_EQ(Image.CompressionMethod, cpLZW);
    EXPECT_EQ(Image.PainterPriority, 3);
    EXPECT_EQ(Image.PlaybackSpeed, 100);
    EXPECT_EQ(Image.BackdropColor, clNone);
    EXPECT_FALSE(Image.OnWarningReport);
    EXPECT_FALSE(Image.CachedPalette());
    EXPECT_EQ(Image.ActivePainter(), nullptr);
    EXPECT_EQ(Image.ResolutionBits(), -1);
    EXPECT_EQ(Image.IndexBits(), 0);
}

TEST(GIFImage, SavingAnEmptyImageFailsWithTheEndingReport) {
    TGIFImage Image;
    TProgressLog Log;
    Log.Attach(Image);
    TMemoryStream S;
    try {
        Image.SaveToStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::UnsupportedVersion);
    }
    ASSERT_EQ(Log.Items.size(), 2u);
    EXPECT_EQ(Log.Items[0].Stage, psStarting);
    EXPECT_EQ(Log.Items[0].Message, gifmsg::Saving);
    EXPECT_EQ(Log.Items[1].Stage, psEnding);
    EXPECT_EQ(Log.Items[1].Percent, 0);
    EXPECT_TRUE(Log.Items[1].Redraw);
}

TEST(GIFImage, RevisionFollowsTheFrames) {
    TGIFImage Image;
    auto F = std::make_unique<TGIFSubImage>(&Image);
    F->Place(0, 0, 1, 1);
    TGIFSubImage* Frame = F.get();
    Image.AddFrame(std::move(F));
    auto Version = [&] {
        TMemoryStream S;
        Image.SaveToStream(S);
        return std::string(S.Bytes().begin(), S.Bytes().begin() + 6);
    };
    EXPECT_EQ(Version(), "GIF87a");
    Image.ScreenHeader().Screen().PixelAspect = 49; // the header's own needs do not count
    EXPECT_EQ(Version(), "GIF87a");
    Frame->ExtensionList().Append(std::make_unique<TGIFGraphicControlExtension>(Frame));
    EXPECT_EQ(Image.RequiredVersion(), gr89a);
    EXPECT_EQ(Version(), "GIF89a");
}

TEST(GIFImage, SaveWritesHeaderFramesTrailerWithProgress) {
    TGIFImage Image;
    for (int i = 0; i < 2; ++i) {
        auto F = std::make_unique<TGIFSubImage>(&Image);
        F->Place(0, 0, 2, 2);
        Image.AddFrame(std::move(F));
    }
    TProgressLog Log;
    Log.Attach(Image);
    TMemoryStream S;
    Image.SaveToStream(S);
    EXPECT_EQ(S.Bytes().back(), 0x3B);
    ASSERT_EQ(Log.Items.size(), 4u);
    EXPECT_EQ(Log.Items[1].Sender, &Image.Frames());
    EXPECT_EQ(Log.Items[1].Percent, 50);
    EXPECT_EQ(Log.Items[2].Percent, 100);
    EXPECT_FALSE(Log.Items[2].Redraw);
    EXPECT_EQ(Log.Items[3].Stage, psEnding);
    EXPECT_EQ(Log.Items[3].Percent, 100);
    EXPECT_EQ(Log.Items[3].Sender, &Image);
}

TEST(GIFImage, LoadReportsProgressAndReadsFromTheCurrentPosition) {
    TGIFImage Image;
    TProgressLog Log;
    Log.Attach(Image);
    TMemoryStream S;
    test::Fill(S, test::Concat({Bytes{9, 9, 9, 9, 9, 9, 9, 9}, SmallGIF(2)}));
    S.SetPosition(8);
    Image.LoadFromStream(S);
    EXPECT_EQ(Image.Frames().Count(), 2);
    EXPECT_EQ(S.Position(), S.Size());
    ASSERT_EQ(Log.Items.size(), 4u);
    EXPECT_EQ(Log.Items[0].Stage, psStarting);
    EXPECT_EQ(Log.Items[0].Message, gifmsg::Loading);
    EXPECT_EQ(Log.Items[1].Sender, &Image.Frames());
    EXPECT_EQ(Log.Items[1].Percent, (8 + 13 + 14) * 100 / (8 + 13 + 28 + 1) + 0); // 70 %
    EXPECT_EQ(Log.Items[3].Stage, psEnding);
    EXPECT_EQ(Log.Items[3].Percent, 100);
    EXPECT_TRUE(Log.Items[3].Redraw);
}

TEST(GIFImage, FailedLoadRestoresThePositionAndKeepsFrames) {
    TGIFImage Image;
    TProgressLog Log;
    Log.Attach(Image);
    TMemoryStream S;
    Bytes Data = test::Concat({Bytes{7, 7}, SmallGIF(2, {}), Bytes{0x21, 0x02, 0x00}});
    test::Fill(S, Data);
    S.SetPosition(2);
    try {
        Image.LoadFromStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::UnknownExtension);
    }
    EXPECT_EQ(S.Position(), 2);
    EXPECT_EQ(Image.Frames().Count(), 2);
    EXPECT_EQ(Log.Items.back().Stage, psEnding);
    EXPECT_EQ(Log.Items.back().Percent, 0);

    // A bad signature: nothing read, position restored.
    test::Fill(S, Bytes(20, 'x'));
    EXPECT_THROW(Image.LoadFromStream(S), GIFException);
    EXPECT_EQ(S.Position(), 0);
    EXPECT_TRUE(Image.Empty());
}

// A progress handler that raises ends the load; the frame being reported is freed.
TEST(GIFImage, ProgressHandlerCanAbortALoad) {
    TGIFImage Image;
    int Running = 0;
    Image.OnProgress = [&](TObject*, TProgressStage Stage, uint8_t, bool, const TRect&,
                           const std::string&) {
        if (Stage == psRunning && ++Running == 2) Abort();
    };
    TMemoryStream S;
    test::Fill(S, SmallGIF(3));
    EXPECT_THROW(Image.LoadFromStream(S), EAbort);
    EXPECT_EQ(Image.Frames().Count(), 1);
    EXPECT_EQ(S.Position(), 0);
}

TEST(GIFImage, TrailerTolerances) {
    const struct {
        Bytes Trailer;
        std::vector<std::string> Warnings;
    } Cases[] = {
        {{}, {}},
        {{0x3B}, {}},
        {{0x00}, {}}, // zero bytes before the end are skipped by the frame list
        {{0x3A}, {gifmsg::UnknownBlockType, gifmsg::BadTrailer}},
    };
    for (const auto& C : Cases) {
        TGIFImage Image;
        test::TWarningLog Log;
        Log.Attach(Image);
        TMemoryStream S;
        test::Fill(S, SmallGIF(3, C.Trailer));
        Image.LoadFromStream(S);
        EXPECT_EQ(Image.Frames().Count(), 3);
        EXPECT_EQ(Log.Messages(), C.Warnings);
        if (C.Warnings.size() == 2) {
            EXPECT_EQ(Log.Items[1].SenderClass, "TGIFTrailer");
        }
    }
}

TEST(GIFImage, AddFrame) {
    TGIFImage Image;
    int Changes = 0;
    Image.OnChange = [&](TObject*) { ++Changes; };
    auto F = std::make_unique<TGIFSubImage>(&Image);
    TGIFSubImage* Frame = F.get();
    EXPECT_EQ(Image.AddFrame(F.release()), 0);
    EXPECT_EQ(Image.Frames().FrameAt(0), Frame);
    EXPECT_GE(Changes, 1);
    TStringList NotAGraphic;
    try {
        Image.AddFrame(&NotAGraphic);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::UnsupportedClass);
    }

    // A frame of another image is moved over.
    TGIFImage Other;
    auto G = std::make_unique<TGIFSubImage>(&Other);
    TGIFSubImage* Moved = G.get();
    Other.AddFrame(std::move(G));
    EXPECT_EQ(Image.AddFrame(Moved), 1);
    EXPECT_EQ(Other.Frames().Count(), 0);
    EXPECT_EQ(Moved->Image(), &Image);
}

TEST(GIFImage, SizeSetters) {
    TGIFImage Image;
    auto F = std::make_unique<TGIFSubImage>(&Image);
    F->Place(5, 6, 10, 20);
    Image.AddFrame(std::move(F));
    EXPECT_EQ(Image.Width(), 15);
    EXPECT_EQ(Image.Height(), 26);
    Image.SetWidth(15);
    Image.SetHeight(30);
    EXPECT_EQ(Image.Height(), 30);
    try {
        Image.SetWidth(14);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::ImageWidthTooSmall);
    }
    try {
        Image.SetHeight(25);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::ImageHeightTooSmall);
    }
    EXPECT_EQ(Image.Width(), 15);
    EXPECT_EQ(Image.Height(), 30);
}

TEST(GIFImage, EqualsOnlyItself) {
    TGIFImage A, B;
    EXPECT_TRUE(A.Equals(&A));
    EXPECT_FALSE(A.Equals(&B));
}

TEST(GIFImage, AssignFromAnotherImage) {
    TGIFImage Source;
    Source.ScreenColorMap().Append(0x0000FF);
    Source.ScreenColorMap().Append(0x00FF00);
    Source.ScreenHeader().Screen().BackgroundIndex = 1;
    for (int i = 0; i < 3; ++i) {
        auto F = std::make_unique<TGIFSubImage>(&Source);
        F->Place(static_cast<uint16_t>(i), 0, 4, 4);
        F->IndexData()[i] = 1;
        Source.AddFrame(std::move(F));
    }
    Source.PaintOptions = 0x0001;
    Source.DitherKind = dkStucki;
    Source.PaletteBits = 4;
    Source.CompressionMethod = cpRunLength;
    Source.PlaybackSpeed = 50;
    std::vector<std::string> SourceProgress;
    Source.OnProgress = [&](TObject*, TProgressStage, uint8_t Percent, bool, const TRect&,
                            const std::string& M) {
        SourceProgress.push_back(M + std::to_string(Percent));
    };
    Source.OnWarningReport = [](TObject*, uint8_t, const std::string&) {};

    TGIFImage Image;
    Image.OnWarningReport = [](TObject*, uint8_t, const std::string&) {};
    Image.Assign(&Source);
    EXPECT_EQ(Image.Frames().Count(), 3);
    EXPECT_EQ(Image.Width(), 6);
    EXPECT_EQ(Image.BackColor(), 0x00FF00);
    EXPECT_EQ(Image.Frames().FrameAt(2)->PixelAt(2, 0), 1);
    EXPECT_NE(Image.Frames().FrameAt(0), Source.Frames().FrameAt(0));
    EXPECT_EQ(Image.PaintOptions, 0x0001);
    EXPECT_EQ(Image.DitherKind, 2);
    EXPECT_EQ(Image.PaletteBits, 8);
    EXPECT_EQ(Image.CompressionMethod, cpLZW);
    EXPECT_EQ(Image.PlaybackSpeed, 100);
    EXPECT_FALSE(Image.OnWarningReport);
    EXPECT_FALSE(Image.OnProgress);
    EXPECT_EQ(SourceProgress,
              (std::vector<std::string>{"Copying...0", "Copying...33", "Copying...67",
                                        "Copying...100", "Copying...100"}));

    // The copy saves to the same bytes (with the same compression method).
    Image.CompressionMethod = Source.CompressionMethod;
    TMemoryStream A, B;
    Source.SaveToStream(A);
    Image.SaveToStream(B);
    EXPECT_EQ(A.Bytes(), B.Bytes());

    Image.Assign(&Image);
    EXPECT_EQ(Image.Frames().Count(), 3);
    Image.Assign(nullptr);
    EXPECT_TRUE(Image.Empty());
    EXPECT_EQ(Image.Width(), 0);
}

TEST(GIFImage, AssignFromAnUnsupportedObject) {
    TGIFImage Image;
    auto F = std::make_unique<TGIFSubImage>(&Image);
    F->Place(0, 0, 1, 1);
    Image.AddFrame(std::move(F));
    TStringList Other;
    try {
        Image.Assign(&Other);
        FAIL();
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TStringList to a TGIFImage");
    }
    EXPECT_TRUE(Image.Empty());
}

TEST(GIFImage, ShouldDither) {
    TGIFImage Image;
    bool Saved = PaletteDisplay;
    PaletteDisplay = false;
    EXPECT_FALSE(Image.ShouldDither());
    PaletteDisplay = true;
    EXPECT_TRUE(Image.ShouldDither());
    Image.PaintOptions = paDither;
    PaletteDisplay = false;
    EXPECT_TRUE(Image.ShouldDither());
    Image.PaintOptions = 0;
    EXPECT_FALSE(Image.ShouldDither());
    PaletteDisplay = Saved;
}

TEST(GIFImage, MakeEmptyKeepsBackgroundAndAspect) {
    TGIFImage Image;
    test::TWarningLog Log;
    TMemoryStream S;
    Bytes Data = SmallGIF(1);
    Data[10] = 0x80; // a global table of 2 entries
    Data[11] = 1;
    Data[12] = 49;
    Data.insert(Data.begin() + 13, {1, 2, 3, 4, 5, 6});
    test::Fill(S, Data);
    Image.LoadFromStream(S);
    EXPECT_EQ(Image.ScreenColorMap().Count(), 2);
    Image.MakeEmpty();
    EXPECT_TRUE(Image.Empty());
    EXPECT_EQ(Image.ScreenColorMap().Count(), 0);
    EXPECT_EQ(Image.Width(), 0);
    EXPECT_EQ(Image.ScreenHeader().Screen().BackgroundIndex, 1);
    EXPECT_EQ(Image.ScreenHeader().Screen().PixelAspect, 49);
}

TEST(GIFImage, WriteDataAndFiles) {
    TGIFImage Image;
    auto F = std::make_unique<TGIFSubImage>(&Image);
    F->Place(0, 0, 3, 2);
    Image.AddFrame(std::move(F));
    TMemoryStream A, B;
    Image.SaveToStream(A);
    Image.WriteData(B);
    EXPECT_EQ(A.Bytes(), B.Bytes());

    std::string Path = testing::TempDir() + "gifimage_test.gif";
    Image.SaveToFile(Path);
    TGIFImage Again;
    Again.LoadFromFile(Path);
    EXPECT_EQ(Again.Frames().Count(), 1);
    EXPECT_EQ(Again.Width(), 3);
    TMemoryStream C;
    B.SetPosition(0);
    Again.ReadData(B);
    EXPECT_EQ(Again.Height(), 2);
    std::remove(Path.c_str());
}

// Loads whose sizes ask for too much memory are refused before anything is allocated.
TEST(GIFImage, RefusesDecompressionBombs) {
    TGIFImage Image;
    TMemoryStream S;
    test::Fill(S, test::Concat({test::PlainHeader(0xFFFF, 0xFFFF),
                                test::Descriptor(0xFFFF, 0xFFFF),
                                test::EmptyData(),
                                {0x3B}}));
    try {
        Image.LoadFromStream(S);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::ImageTooLarge);
    }
    EXPECT_TRUE(Image.Empty());

    // The budget of a whole load, with the limits lowered: frames of 64 x 64 within 2^14
    // bytes in all, so the fifth is refused; the frames before it stay.
    const TGIFSizeLimits Saved = GIFSizeLimits;
    GIFSizeLimits.MaxFramePixels = 64 * 64;
    GIFSizeLimits.MaxLoadPixelBytes = 4 * 64 * 64;
    Bytes Data = test::PlainHeader(64, 64);
    for (int i = 0; i < 5; ++i)
        Data = test::Concat({Data, test::Descriptor(64, 64), test::EmptyData()});
    test::Fill(S, test::Concat({Data, {0x3B}}));
    try {
        Image.LoadFromStream(S);
        ADD_FAILURE();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), gifmsg::ImageTooLarge);
    }
    EXPECT_EQ(Image.Frames().Count(), 4);
    // A frame one pixel above the frame limit.
    test::Fill(
        S, test::Concat(
               {test::PlainHeader(65, 64), test::Descriptor(65, 64), test::EmptyData(), {0x3B}}));
    EXPECT_THROW(Image.LoadFromStream(S), GIFException);
    // Each load starts a new budget.
    test::Fill(
        S, test::Concat(
               {test::PlainHeader(64, 64), test::Descriptor(64, 64), test::EmptyData(), {0x3B}}));
    Image.LoadFromStream(S);
    for (int i = 0; i < 5; ++i) {
        S.SetPosition(0);
        Image.LoadFromStream(S);
    }
    EXPECT_EQ(Image.Frames().Count(), 1);
    GIFSizeLimits = Saved;
}

// A painter of the drawing module as the image sees it.
struct FakePainter : TGIFPainterBase {
    TGIFImage* Image;
    bool IsThreaded;
    int Cancels = 0;
    bool Forgotten = false;
    FakePainter(TGIFImage* I, bool T) : Image(I), IsThreaded(T) { Image->AddPainter(this); }
    void Cancel() override {
        ++Cancels;
        // A threaded painter leaves the list when its thread has ended; this one ends at
        // its second stop request.
        if (!IsThreaded || Cancels >= 2) Image->RemovePainter(this);
    }
    bool Threaded() const override { return IsThreaded; }
    void ForgetImage() override { Forgotten = true; }
};

TEST(GIFImage, StopAllPaintersCancelsAndWaits) {
    TGIFImage Image;
    FakePainter A(&Image, false), B(&Image, true);
    Image.SetActivePainter(&B);
    EXPECT_EQ(Image.PainterCount(), 2);
    Image.StopAllPainters();
    EXPECT_EQ(Image.PainterCount(), 0);
    EXPECT_EQ(A.Cancels, 1);
    EXPECT_GE(B.Cancels, 2);
    EXPECT_EQ(Image.ActivePainter(), nullptr);
}

TEST(GIFImage, DestroyingTheImageDetachesRemainingPainters) {
    auto Image = std::make_unique<TGIFImage>();
    struct Stubborn : TGIFPainterBase {
        bool Forgotten = false;
        void Cancel() override {}
        bool Threaded() const override { return false; }
        void ForgetImage() override { Forgotten = true; }
    } P;
    Image->AddPainter(&P);
    Image.reset();
    EXPECT_TRUE(P.Forgotten);
}

} // namespace
} // namespace mv

// The animation painter and the image's drawing: pacing, passes and loop points, disposal on
// a real canvas, stops, nested and direct drawing, failures, and images destroyed while they
// play. Time is a fake clock wherever a test needs it; threaded painters are served by
// pumping the main thread's steps until an expected event has arrived.
#include "gif/GIFPainter.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace mv {
namespace {

// The global map of the test images, and a letter for each color in pictures as text.
constexpr TColor White = 0xFFFFFF, Red = 0x0000FF, Green = 0x00FF00, Blue = 0xFF0000,
                 Yellow = 0x00FFFF, Gray = 0x808080;
const TColor MapColors[] = {White, Red, Green, Blue, Yellow, Gray};
const char MapLetters[] = "WRGBY.";
enum : uint8_t { iWhite, iRed, iGreen, iBlue, iYellow, iGray };

// A frame of a test image: its rectangle, one color index, and its extensions.
struct FrameSpec {
    uint16_t Left, Top, Width, Height;
    uint8_t Index;
    int Disposal = -1; // -1: no graphic control extension
    int Delay = 0;
    int Loop = -1; // -1: no loop extension, else its loop count
};

// An image of W x H whose background index is yellow.
std::unique_ptr<TGIFImage> MakeImage(uint16_t W, uint16_t H, const std::vector<FrameSpec>& Frames) {
    auto Image = std::make_unique<TGIFImage>();
    Image->SetWidth(W);
    Image->SetHeight(H);
    for (TColor C : MapColors) Image->ScreenColorMap().Append(C);
    Image->ScreenHeader().Screen().BackgroundIndex = iYellow;
    for (const FrameSpec& S : Frames) {
        auto F = std::make_unique<TGIFSubImage>(Image.get());
        F->Place(S.Left, S.Top, S.Width, S.Height);
        std::memset(F->IndexData(), S.Index, static_cast<size_t>(S.Width) * S.Height);
        if (S.Loop >= 0) {
            auto Loop = std::make_unique<TGIFAppExtNSLoop>(F.get());
            Loop->FLoopCount = static_cast<uint16_t>(S.Loop);
            F->ExtensionList().Append(std::move(Loop));
        }
        if (S.Disposal >= 0 || S.Delay > 0) {
            auto Control = std::make_unique<TGIFGraphicControlExtension>(F.get());
            Control->SetDisposalMode(static_cast<TFrameDisposal>(std::max(S.Disposal, 0)));
            Control->SetDelayHundredths(static_cast<uint16_t>(S.Delay));
            F->ExtensionList().Append(std::move(Control));
        }
        Image->AddFrame(std::move(F));
    }
    return Image;
}

// Four full frames of 2 x 2 without extensions, the first optionally with a loop extension.
std::unique_ptr<TGIFImage> FourFrames(int LoopOnFrame = -1, int LoopCount = 0) {
    std::vector<FrameSpec> Frames;
    for (int i = 0; i < 4; ++i) {
        FrameSpec S{0, 0, 2, 2, static_cast<uint8_t>(iRed + i % 3)};
        if (i == LoopOnFrame) S.Loop = LoopCount;
        Frames.push_back(S);
    }
    return MakeImage(2, 2, Frames);
}

// A target bitmap filled with gray.
struct Target {
    TBitmap Bitmap;
    Target(int W, int H) {
        Bitmap.SetSize(W, H);
        Bitmap.Canvas().Brush().SetColor(Gray);
        Bitmap.Canvas().FillRect(Bitmap.Canvas().ClipRect());
    }
    TCanvas& Canvas() { return Bitmap.Canvas(); }
};

// The canvas's pixels as letters, rows separated by '/'.
std::string Picture(TCanvas& Canvas, const TRect& R) {
    std::string Out;
    for (int32_t Y = R.Top; Y < R.Bottom; ++Y) {
        if (Y > R.Top) Out += '/';
        for (int32_t X = R.Left; X < R.Right; ++X) {
            TColor C = Canvas.Pixels(X, Y);
            char Letter = '?';
            for (int i = 0; i < 6; ++i)
                if (MapColors[i] == C) Letter = MapLetters[i];
            Out += Letter;
        }
    }
    return Out;
}

// A clock that moves only when a painter sleeps or waits: every wait ends at once, its time
// taken as passed (an infinite one really waits for the wake event). Installed for the life
// of the object.
struct FakeClock {
    std::atomic<uint32_t> Now{0};
    std::mutex Lock;
    std::vector<uint32_t> Waits; // the timed waits of threaded painters, in ms
    FakeClock() {
        TGIFPainterTiming& T = GIFPainterTiming();
        T.Now = [this] { return Now.load(); };
        T.Sleep = [this](uint32_t Ms) { Now += Ms; };
        T.WaitWake = [this](TEvent& Event, uint32_t Ms) {
            {
                std::lock_guard<std::mutex> Guard(Lock);
                Waits.push_back(Ms);
            }
            if (Ms == INFINITE) return Event.WaitFor(INFINITE) == wrSignaled;
            Now += Ms;
            return Event.WaitFor(0) == wrSignaled;
        };
    }
    ~FakeClock() { ResetGIFPainterTiming(); }
    std::vector<uint32_t> TakenWaits() {
        std::lock_guard<std::mutex> Guard(Lock);
        return Waits;
    }
};

TGIFPainter* PainterOf(TObject* Sender) {
    return static_cast<TGIFPainter*>(Sender);
}

// The paint events of an image as they arrive (always on this thread).
struct Recorder {
    std::vector<int> Due, Shown;
    std::vector<uint32_t> DueTimes;
    std::vector<std::string> Pictures; // the painter's target at each OnFrameShown
    int Starts = 0, Loops = 0, Ends = 0;
    FakeClock* Clock = nullptr;
    // Called after an OnFrameShown is recorded.
    std::function<void(TGIFPainter&)> AfterShown;

    void Attach(TGIFImage& Image) {
        Image.OnAnimationStart = [this](TObject*) { ++Starts; };
        Image.OnLoopRepeat = [this](TObject*) { ++Loops; };
        Image.OnAnimationEnd = [this](TObject*) { ++Ends; };
        Image.OnFrameDue = [this](TObject* Sender) {
            Due.push_back(PainterOf(Sender)->FrameIndex);
            if (Clock) DueTimes.push_back(Clock->Now.load());
        };
        Image.OnFrameShown = [this](TObject* Sender) {
            TGIFPainter& P = *PainterOf(Sender);
            Shown.push_back(P.FrameIndex);
            Pictures.push_back(Picture(*P.TargetCanvas, P.TargetRect));
            if (AfterShown) AfterShown(P);
        };
    }
};

// Runs the steps that painters hand to this thread until Done answers true; false when that
// has not happened within a generous time.
bool PumpUntil(const std::function<bool()>& Done) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > Deadline) return false;
        CheckSynchronize(10);
    }
    return true;
}

constexpr TGIFPaintOptions NoThread = GIFDefaultPaintOptions & ~paThreaded;

// ---------------------------------------------------------------------------
// Pacing arithmetic

TEST(PainterPacing, FrameDelayInUnits) {
    const struct {
        bool HasControl;
        uint16_t Stored;
        bool Threaded;
        int32_t Expected;
    } Cases[] = {
        {false, 0, true, 10},      {true, 0, false, 10},       {true, 1, true, 3},
        {true, 2, false, 3},       {true, 3, true, 3},         {true, 50, false, 50},
        {true, 1000, false, 1000}, {true, 1001, false, 1000},  {true, 5000, false, 1000},
        {true, 5000, true, 5000},  {true, 65535, true, 65535},
    };
    for (const auto& C : Cases) {
        TGIFSubImage Frame(nullptr);
        std::unique_ptr<TGIFGraphicControlExtension> Control;
        if (C.HasControl) {
            Control = std::make_unique<TGIFGraphicControlExtension>(&Frame);
            Control->SetDelayHundredths(C.Stored);
        }
        EXPECT_EQ(GIFFrameDelay(Frame, C.Threaded), C.Expected)
            << C.HasControl << " " << C.Stored << " " << C.Threaded;
    }
}

TEST(PainterPacing, WaitFromDelaySpeedAndElapsedTime) {
    const struct {
        int32_t Units, Speed;
        bool Threaded;
        int64_t Elapsed;
        int32_t Wait, LastWait;
    } Cases[] = {
        {10, 100, true, 0, 120, 120}, // delay 0 or no control extension
        {3, 100, false, 0, 36, 36},   // stored 1 and 2
        {50, 100, true, 0, 600, 600},
        {5000, 100, true, 0, 60000, 60000},  // kept whole with a thread
        {1000, 100, false, 0, 12000, 12000}, // 5000 cut to 1000 without
        {50, 200, true, 0, 300, 300},
        {50, 50, false, 0, 1200, 1200},
        {50, 100, true, 100, 550, 550}, // half of the time beyond the last wait comes off
        {50, 100, true, 3, 599, 599},   // the halving truncates
        {50, 100, true, -3, 601, 601},  // toward zero
        {3, 70, true, 0, 51, 51},       // 3600 / 70 = 51.4
        {1, 800, true, 0, 2, 2},        // 1.5 rounds away from zero
        {1, 100, true, 100, -38, -38},  // late: no wait at all
        {1, 800, true, 100, -5, -5},    // -4.75
        {50, 0, true, 0, -1, 77},       // speed 0: no limit with a thread
        {50, 0, false, 0, 12000, 77},   // the fallback without
        {50, -5, true, 0, -1, 77},
        {50, -5, false, 0, 12000, 77},
        {1, 1, true, -100000000, 12000, 0}, // beyond 32 bits: the fallback
    };
    for (const auto& C : Cases) {
        int32_t LastWait = 77;
        EXPECT_EQ(GIFPaceWait(C.Units, C.Speed, C.Threaded, C.Elapsed, LastWait), C.Wait)
            << C.Units << " units, speed " << C.Speed << ", elapsed " << C.Elapsed;
        EXPECT_EQ(LastWait, C.LastWait) << C.Units << " units, speed " << C.Speed;
    }
}

// When each frame falls due on the fake clock: the first frame of a threaded run without a
// wait, of one without a thread after 12 ms; then the stored delays (50, 1, 5000, none, 2).
TEST(PainterPacing, FramesFallDueOnTime) {
    const struct {
        TGIFPaintOptions Options;
        int32_t Speed;
        std::vector<uint32_t> Times;
    } Cases[] = {
        {GIFDefaultPaintOptions, 100, {0, 600, 636, 60636, 60756}},
        {NoThread, 100, {12, 612, 648, 12648, 12768}},
        {GIFDefaultPaintOptions, 200, {0, 300, 318, 30318, 30378}},
        {GIFDefaultPaintOptions, -1, {0, 0, 0, 0, 0}},
        {NoThread, 0, {12000, 24000, 36000, 48000, 60000}},
        {NoThread, -3, {12000, 24000, 36000, 48000, 60000}},
    };
    for (const auto& C : Cases) {
        FakeClock Clock;
        Recorder R;
        R.Clock = &Clock;
        auto Image = MakeImage(2, 2,
                               {{0, 0, 2, 2, iRed, 1, 50},
                                {0, 0, 2, 2, iGreen, 1, 1},
                                {0, 0, 2, 2, iBlue, 1, 5000},
                                {0, 0, 2, 2, iWhite},
                                {0, 0, 2, 2, iRed, 1, 2}});
        R.Attach(*Image);
        Image->PaintOptions = C.Options;
        Image->PlaybackSpeed = C.Speed;
        Target T(2, 2);
        Image->Draw(T.Canvas(), T.Canvas().ClipRect());
        ASSERT_TRUE(PumpUntil([&] { return R.Ends == 1; })) << C.Speed;
        EXPECT_EQ(R.DueTimes, C.Times) << "options " << C.Options << ", speed " << C.Speed;
    }
}

TEST(PainterPacing, SpeedZeroWithAThreadShowsTheFirstFrameAndWaitsUntilStopped) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames();
    R.Attach(*Image);
    Image->PlaybackSpeed = 0;
    Target T(2, 2);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([&] { return Clock.TakenWaits() == std::vector<uint32_t>{INFINITE}; }));
    Image->StopAllPainters();
    EXPECT_EQ(Image->PainterCount(), 0);
    EXPECT_EQ(R.Shown, std::vector<int>{0});
    EXPECT_EQ(R.Ends, 0);
}

// ---------------------------------------------------------------------------
// Passes over the frames

TEST(Painter, PassesFollowTheLoopCount) {
    const std::vector<int> Pass = {0, 1, 2, 3};
    auto Times = [&](int N) {
        std::vector<int> Out;
        for (int i = 0; i < N; ++i) Out.insert(Out.end(), Pass.begin(), Pass.end());
        return Out;
    };
    const struct {
        const char* Name;
        TGIFPaintOptions Options;
        int LoopOnFrame, LoopCount;
        std::vector<int> Shown; // for an endless run: the first frames, then a stop
        bool Endless;
    } Cases[] = {
        {"no loop extension", GIFDefaultPaintOptions, -1, 0, Pass, false},
        {"count 3", GIFDefaultPaintOptions, 0, 3, Times(3), false},
        {"count 3, no thread", NoThread, 0, 3, Times(3), false},
        {"count 0, no thread", NoThread, 0, 0, Pass, false},
        {"count 0", GIFDefaultPaintOptions, 0, 0, Times(4), true},
        {"count 0, no thread, forever", NoThread | paRepeatForever, 0, 0, Times(4), true},
        {"count 3, forever", GIFDefaultPaintOptions | paRepeatForever, 0, 3, Times(5), true},
        {"count 3, no repeat", GIFDefaultPaintOptions & ~paRepeat, 0, 3, Pass, false},
        {"loop point on the third frame", GIFDefaultPaintOptions, 2, 2, {0, 1, 2, 3, 2, 3}, false},
        {"loop point on the third frame, no thread",
         NoThread,
         2,
         3,
         {0, 1, 2, 3, 2, 3, 2, 3},
         false},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        FakeClock Clock;
        Recorder R;
        auto Image = FourFrames(C.LoopOnFrame, C.LoopCount);
        R.Attach(*Image);
        Image->PaintOptions = C.Options;
        if (C.Endless)
            R.AfterShown = [&](TGIFPainter& P) {
                if (R.Shown.size() == C.Shown.size()) P.Cancel();
            };
        Target T(2, 2);
        Image->Draw(T.Canvas(), T.Canvas().ClipRect());
        ASSERT_TRUE(PumpUntil([&] { return Image->PainterCount() == 0; }));
        EXPECT_EQ(R.Shown, C.Shown);
        EXPECT_EQ(R.Starts, 1);
        EXPECT_EQ(R.Ends, C.Endless ? 0 : 1); // no end after a stop
        // A repeated pass starts at the loop point, announced once per pass after the first.
        const int Passes = C.LoopOnFrame == 2 ? (static_cast<int>(C.Shown.size()) - 2) / 2
                                              : static_cast<int>(C.Shown.size()) / 4;
        EXPECT_EQ(R.Loops, Passes - 1);
    }
}

TEST(Painter, FrameShownHandlerChoosesTheNextFrame) {
    for (TGIFPaintOptions Options : {GIFDefaultPaintOptions, NoThread}) {
        FakeClock Clock;
        Recorder R;
        auto Image = FourFrames();
        R.Attach(*Image);
        Image->PaintOptions = Options;
        bool Once = false;
        R.AfterShown = [&](TGIFPainter& P) {
            if (P.FrameIndex == 1 && !Once) {
                Once = true;
                P.FrameIndex = 0;
            }
        };
        Target T(2, 2);
        Image->Draw(T.Canvas(), T.Canvas().ClipRect());
        ASSERT_TRUE(PumpUntil([&] { return R.Ends == 1; }));
        EXPECT_EQ(R.Shown, (std::vector<int>{0, 1, 0, 1, 2, 3})) << Options;
    }
}

TEST(Painter, AnEmptyFrameEndsThePass) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 2);
    Image->Frames().FrameAt(2)->ReleasePixels();
    R.Attach(*Image);
    Target T(2, 2);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([&] { return R.Ends == 1; }));
    EXPECT_EQ(R.Shown, (std::vector<int>{0, 1, 0, 1}));
}

// ---------------------------------------------------------------------------
// Disposal in the composite bitmap

// Frames on a 4 x 2 screen over a gray target: red everywhere (kept), green on the top left
// (Disposal), blue on the top right (restore previous), white at the bottom left (kept).
TEST(Painter, DisposalLeavesTheRightPixels) {
    const std::vector<std::string> Restored = {"RRRR/RRRR", "GGRR/RRRR", "..BB/RRRR", "..RR/WRRR"};
    const std::vector<std::string> Filled = {"RRRR/RRRR", "GGRR/RRRR", "YYBB/RRRR", "YYRR/WRRR"};
    const std::vector<std::string> Kept = {"RRRR/RRRR", "GGRR/RRRR", "GGBB/RRRR", "GGRR/WRRR"};
    const TGIFPaintOptions Opaque = GIFDefaultPaintOptions & ~paTransparent;
    const struct {
        const char* Name;
        TGIFPaintOptions Options;
        int Disposal;
        TColor Backdrop;
        std::vector<std::string> Pictures;
    } Cases[] = {
        // Restored to what the target showed before the image was drawn there.
        {"transparent", GIFDefaultPaintOptions, fdRestoreBackground, clNone, Restored},
        {"transparent, no thread", NoThread, fdRestoreBackground, clNone, Restored},
        // Filled with the file's background color.
        {"opaque", Opaque, fdRestoreBackground, clNone, Filled},
        // Filled with the backdrop color set on the image.
        {"opaque, backdrop set", Opaque, fdRestoreBackground, Green, Kept},
        // A reserved disposal value leaves the frame in place.
        {"reserved value", GIFDefaultPaintOptions, 5, clNone, Kept},
        {"restore previous twice",
         GIFDefaultPaintOptions,
         fdRestorePrevious,
         clNone,
         {"RRRR/RRRR", "GGRR/RRRR", "RRBB/RRRR", "RRRR/WRRR"}},
        // A direct painter on the right half of a target twice as wide.
        {"transparent, direct", GIFDefaultPaintOptions | paDirect, fdRestoreBackground, clNone,
         Restored},
        {"opaque, direct", Opaque | paDirect, fdRestoreBackground, clNone, Filled},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        FakeClock Clock;
        Recorder R;
        auto Image = MakeImage(4, 2,
                               {{0, 0, 4, 2, iRed, fdKeep},
                                {0, 0, 2, 1, iGreen, C.Disposal},
                                {2, 0, 2, 1, iBlue, fdRestorePrevious},
                                {0, 1, 1, 1, iWhite, fdKeep}});
        R.Attach(*Image);
        Image->PaintOptions = C.Options;
        Image->BackdropColor = C.Backdrop;
        const bool Direct = C.Options & paDirect;
        Target T(Direct ? 8 : 4, 2);
        Image->Draw(T.Canvas(), Direct ? TRect{4, 0, 8, 2} : TRect{0, 0, 4, 2});
        ASSERT_TRUE(PumpUntil([&] { return R.Ends == 1; }));
        EXPECT_EQ(R.Pictures, C.Pictures);
        const std::string& Last = C.Pictures.back();
        if (Direct) {
            // Nothing beside the rectangle is touched, and no composite bitmap is made.
            EXPECT_EQ(Picture(T.Canvas(), TRect{0, 0, 8, 2}),
                      "...." + Last.substr(0, 4) + "/...." + Last.substr(5));
            EXPECT_EQ(Image->CompositeBitmapIfAny(), nullptr);
            continue;
        }
        // The composite bitmap holds the last picture, and a Draw now shows it.
        ASSERT_NE(Image->CompositeBitmapIfAny(), nullptr);
        Target After(4, 2);
        Image->Draw(After.Canvas(), After.Canvas().ClipRect());
        EXPECT_EQ(Picture(After.Canvas(), TRect{0, 0, 4, 2}), Last);
    }
}

TEST(Painter, ClearOnRepeatRestoresTheFirstFrameAreaEachPass) {
    FakeClock Clock;
    Recorder R;
    // A transparent first frame: what shows through is what the frame's area held.
    auto Image = MakeImage(2, 1, {{0, 0, 2, 1, iRed, fdKeep, 0, 2}, {1, 0, 1, 1, iBlue, fdKeep}});
    auto* First = Image->Frames().FrameAt(0);
    First->IndexData()[1] = iGray;
    auto* Control = First->ControlExtension();
    Control->SetUsesTransparency(true);
    Control->SetTransparentSlot(iGray);
    R.Attach(*Image);
    Image->PaintOptions = GIFDefaultPaintOptions | paClearOnRepeat;
    Target T(2, 1);
    T.Canvas().SetPixels(1, 0, Yellow);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([&] { return R.Ends == 1; }));
    // Without the clear the blue of the second frame would show through in the second pass.
    EXPECT_EQ(R.Pictures, (std::vector<std::string>{"RY", "RB", "RY", "RB"}));
}

// ---------------------------------------------------------------------------
// Drawing the image

TEST(Painter, OneFrameOrNoAnimationDrawsTheFirstFrameOnly) {
    const struct {
        int Frames;
        TGIFPaintOptions Options;
    } Cases[] = {{1, GIFDefaultPaintOptions}, {3, GIFDefaultPaintOptions & ~paAnimate}};
    for (const auto& C : Cases) {
        Recorder R;
        std::vector<FrameSpec> Frames = {{0, 0, 2, 1, iRed, fdRestoreBackground, 5, 0},
                                         {0, 0, 2, 1, iGreen},
                                         {0, 0, 2, 1, iBlue}};
        Frames.resize(C.Frames);
        auto Image = MakeImage(2, 1, Frames);
        R.Attach(*Image);
        Image->PaintOptions = C.Options;
        Target T(4, 1);
        for (int i = 0; i < 2; ++i) Image->Draw(T.Canvas(), TRect{0, 0, 4, 1});
        EXPECT_EQ(Picture(T.Canvas(), TRect{0, 0, 4, 1}), "RRRR") << C.Frames;
        EXPECT_EQ(Image->PainterCount(), 0);
        EXPECT_EQ(Image->CompositeBitmapIfAny(), nullptr);
        EXPECT_EQ(R.Starts + R.Ends + static_cast<int>(R.Due.size()), 0);
    }
}

TEST(Painter, DrawDuringADrawReturnsAtOnce) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames();
    R.Attach(*Image);
    Image->PaintOptions = NoThread; // the whole run happens inside the first Draw
    Target T(2, 2), Other(2, 2);
    std::vector<std::string> OtherPictures;
    R.AfterShown = [&](TGIFPainter&) {
        Image->Draw(Other.Canvas(), Other.Canvas().ClipRect());
        OtherPictures.push_back(Picture(Other.Canvas(), TRect{0, 0, 2, 2}));
    };
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    EXPECT_EQ(R.Shown, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(OtherPictures, std::vector<std::string>(4, "../.."));
    EXPECT_EQ(R.Starts, 1);
}

TEST(Painter, DrawsWhilePlayingShowTheCompositeBitmap) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 0); // endless
    R.Attach(*Image);
    Target T(2, 2), Large(4, 4);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    // Draw returns once the first frame is in the composite bitmap, and shows it.
    EXPECT_EQ(R.Due, std::vector<int>{0});
    EXPECT_EQ(Picture(T.Canvas(), TRect{0, 0, 2, 2}), "RR/RR");
    ASSERT_TRUE(PumpUntil([&] { return R.Shown.size() >= 2; }));
    Image->Draw(Large.Canvas(), Large.Canvas().ClipRect());
    EXPECT_EQ(Picture(Large.Canvas(), TRect{0, 0, 4, 4}), "GGGG/GGGG/GGGG/GGGG");
    EXPECT_EQ(Image->PainterCount(), 1);
    EXPECT_EQ(R.Starts, 1);
    Image->StopAllPainters();
    EXPECT_EQ(R.Ends, 0);
}

TEST(Painter, DirectPainterOnTheSameAndOnAnotherRectangle) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 0);
    R.Attach(*Image);
    Image->PaintOptions = GIFDefaultPaintOptions | paDirect;
    Target T(4, 2);
    const TRect Left{0, 0, 2, 2}, Right{2, 0, 4, 2};
    Image->Draw(T.Canvas(), Left);
    ASSERT_TRUE(PumpUntil([&] { return R.Shown.size() >= 2; }));
    EXPECT_EQ(Image->CompositeBitmapIfAny(), nullptr);

    Image->Draw(T.Canvas(), Left); // already at work there
    EXPECT_EQ(R.Starts, 1);
    EXPECT_EQ(Image->PainterCount(), 1);

    Image->Draw(T.Canvas(), Right); // the old painter is stopped and gone, a new one starts
    EXPECT_EQ(Image->PainterCount(), 1);
    auto* Active = dynamic_cast<TGIFPainter*>(Image->ActivePainter());
    ASSERT_NE(Active, nullptr);
    EXPECT_EQ(Active->TargetRect, Right);
    const size_t Before = R.Shown.size();
    ASSERT_TRUE(PumpUntil([&] { return R.Shown.size() >= Before + 2; }));
    EXPECT_EQ(R.Starts, 2);
    EXPECT_EQ(R.Shown[Before], 0);
    EXPECT_EQ(R.Shown[Before + 1], 1);
    EXPECT_EQ(Picture(T.Canvas(), Right), "GG/GG");
    Image->StopAllPainters();
    EXPECT_EQ(R.Ends, 0);
}

TEST(Painter, CompositeDrawingStretchesOrTiles) {
    auto Image = MakeImage(2, 1, {{0, 0, 2, 1, iRed}, {0, 0, 2, 1, iBlue}});
    TBitmap Bitmap;
    Bitmap.SetSize(2, 1);
    Bitmap.Canvas().SetPixels(0, 0, Red);
    Bitmap.Canvas().SetPixels(1, 0, Blue);
    const struct {
        TGIFPaintOptions Options;
        TRect Rect;
        std::string Picture;
    } Cases[] = {
        {GIFDefaultPaintOptions, {0, 0, 4, 2}, "RRBB./RRBB./...../....."},
        // Tiles of the image's size from the corner; the last ones are drawn whole.
        {GIFDefaultPaintOptions | paTile, {0, 0, 5, 2}, "RBRBR/RBRBR/...../....."},
        {GIFDefaultPaintOptions | paTile, {1, 1, 4, 3}, "...../.RBRB/.RBRB/....."},
    };
    for (const auto& C : Cases) {
        Target T(5, 4);
        Image->PaintOptions = C.Options;
        Image->DrawComposite(T.Canvas(), C.Rect, &Bitmap);
        EXPECT_EQ(Picture(T.Canvas(), TRect{0, 0, 5, 4}), C.Picture) << C.Options;
    }
}

TEST(Painter, QuitWhileAPainterWithoutAThreadWaitsStopsIt) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames();
    R.Attach(*Image);
    Image->PaintOptions = NoThread;
    int Checks = 0;
    static int* Counter;
    Counter = &Checks;
    GIFProcessMessages = [] { return ++*Counter < 3; }; // the third look finds a quit request
    Target T(2, 2);
    Image->PlaybackSpeed = 0; // 12 s before the first frame: slices of 100 ms
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    GIFProcessMessages = nullptr;
    EXPECT_EQ(Checks, 3);
    EXPECT_EQ(Clock.Now.load(), 300u);
    EXPECT_TRUE(R.Due.empty());
    EXPECT_EQ(R.Starts, 1);
    EXPECT_EQ(R.Ends, 0);
    EXPECT_EQ(Image->PainterCount(), 0);
}

TEST(Painter, CanvasCheckStopsBeforePaintingOnAMemoryCanvas) {
    FakeClock Clock;
    Recorder R;
    auto Image = MakeImage(2, 1, {{0, 0, 2, 1, iRed, fdRestoreBackground}, {0, 0, 2, 1, iBlue}});
    R.Attach(*Image);
    Image->PaintOptions = GIFDefaultPaintOptions | paCheckCanvas;
    Target T(2, 1);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([&] { return Image->PainterCount() == 0; }));
    EXPECT_EQ(R.Due, std::vector<int>{0});
    EXPECT_TRUE(R.Shown.empty());
    EXPECT_EQ(R.Ends, 0);
}

// ---------------------------------------------------------------------------
// Failures and lifetimes

TEST(Painter, AFailureInARunStopsThatPainter) {
    for (TGIFPaintOptions Options : {GIFDefaultPaintOptions, NoThread}) {
        FakeClock Clock;
        Recorder R;
        auto Image = FourFrames(0, 0);
        R.Attach(*Image);
        Image->PaintOptions = Options;
        Image->OnFrameDue = [&](TObject* Sender) {
            R.Due.push_back(PainterOf(Sender)->FrameIndex);
            if (R.Due.size() == 2) throw EInvalidGraphicOperation("frame refused");
        };
        Target T(2, 2);
        if (Options & paThreaded) {
            // Dropped with its thread; the program goes on.
            Image->Draw(T.Canvas(), T.Canvas().ClipRect());
            ASSERT_TRUE(PumpUntil([&] { return Image->PainterCount() == 0; }));
        } else {
            // The Draw that ran the painter fails with what the run caught.
            try {
                Image->Draw(T.Canvas(), T.Canvas().ClipRect());
                ADD_FAILURE() << "no exception";
            } catch (const EInvalidGraphicOperation& E) {
                EXPECT_STREQ(E.what(), "frame refused");
            }
            EXPECT_EQ(Image->PainterCount(), 0);
        }
        EXPECT_EQ(Image->ActivePainter(), nullptr);
        EXPECT_EQ(R.Shown, std::vector<int>{0}) << Options;
        EXPECT_EQ(R.Ends, 0);
        EXPECT_NO_THROW(Image->Draw(T.Canvas(), T.Canvas().ClipRect()));
    }
}

// A painter whose thread the system refuses: the Draw fails with the reason, and nothing of the
// painter is left for a later Draw or the image's destruction to trip over.
TEST(Painter, AThreadTheSystemRefusesLeavesNoPainter) {
    for (TGIFPaintOptions Extra : {TGIFPaintOptions(0), TGIFPaintOptions(paDirect)}) {
        auto Image = FourFrames(0, 0);
        Image->PaintOptions = GIFDefaultPaintOptions | Extra;
        Target T(2, 2);
        SetThreadCreationRefused(true);
        EXPECT_THROW(Image->Draw(T.Canvas(), T.Canvas().ClipRect()), EThread) << Extra;
        SetThreadCreationRefused(false);
        EXPECT_EQ(Image->PainterCount(), 0);
        EXPECT_EQ(Image->ActivePainter(), nullptr);
        // Drawing again works, and the image goes with its new painter running.
        FakeClock Clock;
        Image->Draw(T.Canvas(), T.Canvas().ClipRect());
        EXPECT_EQ(Image->PainterCount(), 1);
        Image.reset();
    }
}

TEST(Painter, DestroyingTheImageWhileAThreadedPainterRuns) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 0);
    R.Attach(*Image);
    Target T(2, 2);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([&] { return R.Shown.size() >= 3; }));
    // A drawing step or event is waiting for this thread when the image goes.
    ASSERT_TRUE(PumpUntil([] { return QueuedStepCount() > 0; }));
    Image.reset();
    const auto Shown = R.Shown;
    for (int i = 0; i < 5; ++i) CheckSynchronize(5);
    EXPECT_EQ(QueuedStepCount(), 0);
    EXPECT_EQ(R.Shown, Shown);
    EXPECT_EQ(R.Ends, 0);
}

TEST(Painter, DroppingTheCompositeBitmapWithdrawsQueuedSteps) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 0);
    R.Attach(*Image);
    Target T(2, 2);
    Image->Draw(T.Canvas(), T.Canvas().ClipRect());
    ASSERT_TRUE(PumpUntil([] { return QueuedStepCount() > 0; }));
    // The size setter drops the composite bitmap the painter draws on, without waiting.
    Image->SetWidth(3);
    EXPECT_EQ(Image->CompositeBitmapIfAny(), nullptr);
    const auto Shown = R.Shown;
    ASSERT_TRUE(PumpUntil([&] { return Image->PainterCount() == 0; }));
    EXPECT_EQ(R.Shown, Shown);
    EXPECT_EQ(R.Ends, 0);
    EXPECT_EQ(Image->ActivePainter(), nullptr);
}

// Frames appended while a threaded painter plays: the painter looks frames up as the list
// grows (ThreadSanitizer watches the list), and the image ends up with every frame.
TEST(Painter, FramesAppendedWhileAThreadedPainterPlays) {
    FakeClock Clock;
    Recorder R;
    auto Image = FourFrames(0, 0);
    R.Attach(*Image);
    Target T(2, 2);
    for (int i = 0; i < 20; ++i) {
        if (Image->PainterCount() == 0) Image->Draw(T.Canvas(), T.Canvas().ClipRect());
        auto F = std::make_unique<TGIFSubImage>(Image.get());
        F->Place(0, 0, 2, 2);
        std::memset(F->IndexData(), iBlue, 4);
        Image->AddFrame(std::move(F));
        CheckSynchronize(1);
    }
    Image->StopAllPainters();
    EXPECT_EQ(Image->Frames().Count(), 24);
    EXPECT_EQ(Image->PainterCount(), 0);
}

// A paint event that stops the painters of its own image, or destroys the image: the painter
// it came from cannot end before the event returns, so nothing waits for it, and it touches
// nothing of the image afterwards.
TEST(Painter, PaintEventStopsOrDestroysItsOwnImage) {
    enum Action { Stop, MakeEmpty, DirectDraw, Destroy };
    for (TGIFPaintOptions Options : {GIFDefaultPaintOptions, NoThread}) {
        for (Action A : {Stop, MakeEmpty, DirectDraw, Destroy}) {
            SCOPED_TRACE(testing::Message() << "options " << Options << ", action " << A);
            FakeClock Clock;
            Recorder R;
            auto Image = FourFrames(0, 0);
            R.Attach(*Image);
            Image->PaintOptions = Options;
            Target T(2, 2), Other(2, 2);
            int Seen = 0;
            bool Ended = false; // the painter's run is over and it has disconnected
            R.AfterShown = [&](TGIFPainter& P) {
                if (++Seen == 1) {
                    TNotifyEvent Disconnect = P.OnTerminate;
                    P.OnTerminate = [Disconnect, &Ended](TObject* Sender) {
                        Disconnect(Sender);
                        Ended = true;
                    };
                }
                if (Seen != 2) return;
                switch (A) {
                case Stop:
                    Image->StopAllPainters();
                    break;
                case MakeEmpty:
                    Image->MakeEmpty();
                    break;
                case DirectDraw:
                    Image->PaintOptions |= paDirect;
                    Image->Draw(Other.Canvas(), Other.Canvas().ClipRect());
                    Image->StopActivePainter();
                    break;
                case Destroy:
                    Image.reset();
                    break;
                }
            };
            Image->Draw(T.Canvas(), T.Canvas().ClipRect());
            if (Options & paThreaded) {
                ASSERT_TRUE(PumpUntil([&] { return Ended; }));
            }
            if (Image) {
                EXPECT_EQ(Image->PainterCount(), 0);
            }
            EXPECT_EQ(QueuedStepCount(), 0);
            EXPECT_EQ(R.Shown, (std::vector<int>{0, 1}));
            EXPECT_EQ(R.Ends, 0);
        }
    }
}

} // namespace
} // namespace mv

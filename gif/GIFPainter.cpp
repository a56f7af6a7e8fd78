// The animation painter, and the image operations that draw the image and start painters.
#include "gif/GIFPainter.h"

#include "gif/GIFRender.h"
#include "platform/SysUtils.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace mv {

bool (*GIFProcessMessages)() = nullptr;

namespace {

TGIFPainterTiming DefaultTiming() {
    TGIFPainterTiming T;
    T.Now = [] { return timeGetTime(); };
    T.Sleep = [](uint32_t Ms) { Sleep(Ms); };
    T.WaitWake = [](TEvent& Event, uint32_t Ms) { return Event.WaitFor(Ms) == wrSignaled; };
    return T;
}

// Runs Step holding the rendering lock of Image when it can be had at once; a frame rendered
// ahead of its display is only a head start, so a busy lock is no reason to wait.
template <class Fn> void WithRenderLockIfFree(TGIFImage* Image, Fn&& Step) {
    if (!Image) return;
    std::unique_lock<std::recursive_mutex> Guard(Image->RenderLock(), std::try_to_lock);
    if (Guard.owns_lock()) Step();
}

} // namespace

TGIFPainterTiming& GIFPainterTiming() {
    static TGIFPainterTiming Timing = DefaultTiming();
    return Timing;
}

void ResetGIFPainterTiming() {
    GIFPainterTiming() = DefaultTiming();
}

// ---------------------------------------------------------------------------
// Pacing

int32_t GIFFrameDelay(const TGIFSubImage& Frame, bool Threaded) {
    int32_t Delay = GIFDefaultDelay;
    const TGIFGraphicControlExtension* Control = Frame.ControlExtension();
    if (Control && Control->DelayHundredths() > 0) {
        Delay = Control->DelayHundredths();
        if (Delay < GIFMinimumDelay) Delay = GIFMinimumDelay;
        if (Delay > GIFMaximumDelay && !Threaded) Delay = GIFMaximumDelay;
    }
    return Delay;
}

int32_t GIFPaceWait(int32_t DelayUnits, int32_t Speed, bool Threaded, int64_t Elapsed,
                    int32_t& LastWait) {
    if (Speed <= 0) return Threaded ? -1 : GIFFallbackWait;
    // Half of the painting and event time beyond the last wait comes off (the halving
    // truncates toward zero); the speed scales the rest, rounded to nearest.
    int64_t Base = int64_t{DelayUnits} * GIFMillisecondsPerUnit - Elapsed / 2;
    int64_t Scaled = Base * 100;
    Scaled = Scaled >= 0 ? (Scaled + Speed / 2) / Speed : -((-Scaled + Speed / 2) / Speed);
    if (Scaled > std::numeric_limits<int32_t>::max() ||
        Scaled < std::numeric_limits<int32_t>::min()) {
        LastWait = 0;
        return GIFFallbackWait;
    }
    LastWait = static_cast<int32_t>(Scaled);
    return LastWait;
}

// ---------------------------------------------------------------------------
// TGIFPainter: creation and end

TGIFPainter::TGIFPainter(TGIFImage* Image, TCanvas& Canvas, const TRect& Rect,
                         TGIFPaintOptions AOptions)
    : SourceImage(Image), TargetCanvas(&Canvas), TargetRect(Rect), Options(AOptions),
      Speed(Image ? Image->PlaybackSpeed : 100) {
    if (Threaded()) SetFreeOnTerminate(true);
    OnTerminate = [this](TObject*) { Disconnect(); };
    // Taken here rather than on the painter's thread: the canvas belongs to the main thread.
    if (Options & paCheckCanvas) WatchedDC = Canvas.Handle();
    if (!Image) return;
    const int FrameCount = Image->Frames().Count();
    if (Threaded() && (Options & paAnimate) && FrameCount > 1 && Speed >= 0)
        WakeEvent = std::make_unique<TEvent>(false, false);

    if (Image->BackdropColor != clNone)
        BackdropRGB = ColorToRGB(Image->BackdropColor);
    else if (Image->ScreenColorMap().Count() > 0)
        BackdropRGB = Image->BackColor();
    else
        BackdropRGB = ColorToRGB(clWindow);

    // Which disposal methods the frames use.
    uint8_t Used = 0;
    for (int i = 0; i < FrameCount; ++i)
        if (const auto* Control = Image->Frames().FrameAt(i)->ControlExtension())
            Used |= static_cast<uint8_t>(1u << Control->DisposalMode());
    if (Options & paClearOnRepeat) Used |= 1u << fdRestoreBackground;
    const bool Restores = Used & (1u << fdRestoreBackground);
    const bool Previous = Used & (1u << fdRestorePrevious);

    auto MakeBuffer = [&](bool CopyTarget) {
        auto B = std::make_unique<TBitmap>();
        B->SetHeight(Rect.Height());
        B->SetWidth(Rect.Width());
        B->Canvas().SetCopyMode(cmSrcCopy);
        if (CopyTarget) B->Canvas().CopyRect(B->Canvas().ClipRect(), Canvas, Rect);
        return B;
    };
    if (Restores && (Options & paTransparent)) BackdropBuffer = MakeBuffer(true);
    if (Restores || Previous) {
        SceneBuffer = MakeBuffer(true);
        SceneBuffer->Canvas().Brush().SetColor(BackdropRGB);
        SceneBuffer->Canvas().Brush().SetStyle(bsSolid);
        ScratchBuffer = MakeBuffer(false);
        ScratchBuffer->Canvas().Brush().SetColor(BackdropRGB);
        ScratchBuffer->Canvas().Brush().SetStyle(bsSolid);
    }
}

TGIFPainter::TGIFPainter(TGIFPainterBase** Slot, TGIFImage* Image, TCanvas& Canvas,
                         const TRect& Rect, TGIFPaintOptions AOptions)
    : TGIFPainter(Image, Canvas, Rect, AOptions) {
    OwnerSlot = Slot;
    if (Slot) {
        if (Image) {
            std::lock_guard<std::recursive_mutex> Guard(Image->PainterLock());
            *Slot = this;
        } else {
            *Slot = this;
        }
    }
}

TGIFPainter::~TGIFPainter() {
    if (!FDisconnected) Disconnect();
}

void TGIFPainter::Disconnect() {
    if (FDisconnected) return;
    FDisconnected = true;
    if (TGIFImage* Image = SourceImage) {
        std::lock_guard<std::recursive_mutex> Guard(Image->PainterLock());
        if (OwnerSlot && *OwnerSlot == this) *OwnerSlot = nullptr;
        Image->RemovePainter(this);
        SourceImage = nullptr;
    }
    SceneBuffer.reset();
    ScratchBuffer.reset();
    BackdropBuffer.reset();
    WakeEvent.reset();
}

void TGIFPainter::Launch() {
    if (Threaded()) Start();
}

void TGIFPainter::Cancel() {
    Terminate();
    if (!Threaded()) return;
    if (WakeEvent) WakeEvent->SetEvent();
    SetPriority(tpNormal);
    // Steps already handed to the main thread would draw on buffers and frames that the
    // caller may free next: withdraw them, and refuse any the thread still tries to queue.
    RemoveQueuedSteps(this, true);
    if (Suspended()) Resume();
}

// ---------------------------------------------------------------------------
// TGIFPainter: the run

void TGIFPainter::RunInPaintContext(const std::function<void()>& Step) {
    if (Stopped()) return;
    if (!Threaded()) {
        Step();
        return;
    }
    // Looked at again on the main thread: a stop may have come while the step was queued.
    Synchronize([this, &Step] {
        if (Stopped()) return;
        FInStep = true;
        struct TReset {
            std::atomic<bool>& Flag;
            ~TReset() { Flag = false; }
        } Reset{FInStep};
        Step();
    });
}

void TGIFPainter::FirePendingEvent() {
    if (PendingEvent) PendingEvent(this);
}

void TGIFPainter::RaisePaintEvent(const TNotifyEvent& Event) {
    if (!Event) return;
    PendingEvent = Event;
    try {
        RunInPaintContext([this] { FirePendingEvent(); });
    } catch (...) {
        PendingEvent = nullptr;
        throw;
    }
    PendingEvent = nullptr;
}

TGIFSubImage* TGIFPainter::CurrentFrame() const {
    if (!SourceImage) return nullptr;
    // The main thread may append frames while the thread plays.
    std::lock_guard<std::recursive_mutex> Guard(SourceImage->RenderLock());
    if (!SourceImage || FrameIndex < 0 || FrameIndex >= SourceImage->Frames().Count())
        return nullptr;
    return SourceImage->Frames().FrameAt(FrameIndex);
}

void TGIFPainter::Execute() {
    try {
        Run();
    } catch (const Exception& E) {
        Terminate();
        KeptFailure = std::current_exception();
        KeptFailureMessage = E.ClassName() + ": " + E.what();
    }
    // A threaded painter's failure ends with its thread: nobody could receive it there, and
    // the program goes on.
    if (Threaded()) KeptFailure = nullptr;
}

void TGIFPainter::Run() {
    FrameIndex = 0;
    RaisePaintEvent(OnAnimationStart);
    HasPainted = false;
    int32_t LoopCount = 1;
    int32_t LoopPoint = 0;
    bool LoopSeen = false;
    int32_t Delay = Threaded() ? 0 : 1;
    PreviousDisposal = fdKeep;
    FLastStart = GIFPainterTiming().Now();
    FLastWait = 0;

    while ((LoopCount != 0 || (Options & paRepeatForever)) && !Stopped()) {
        FrameIndex = LoopPoint;
        if (HasPainted) RaisePaintEvent(OnLoopRepeat);
        while (!Stopped()) {
            TGIFSubImage* Frame = CurrentFrame();
            if (!Frame || Frame->IsEmpty()) break;
            WaitBeforeFrame(*Frame, Delay);
            if (Stopped()) break;
            RaisePaintEvent(OnFrameDue);
            if (Stopped()) break;
            // A handler may have chosen another frame.
            Frame = CurrentFrame();
            if (!Frame || Frame->IsEmpty()) break;

            CurrentDisposal = fdKeep;
            TGIFExtensionList& Extensions = Frame->ExtensionList();
            for (int i = 0; i < Extensions.Count(); ++i) {
                TGIFExtension* Extension = Extensions.ExtensionAt(i);
                if (auto* Loop = dynamic_cast<TGIFAppExtNSLoop*>(Extension)) {
                    if (!LoopSeen) {
                        LoopSeen = true;
                        LoopCount = Loop->FLoopCount;
                        LoopPoint = FrameIndex;
                        if (Threaded() && (LoopCount == 0 || (Options & paRepeatForever)))
                            LoopCount = -1;
                    }
                } else if (auto* Control = dynamic_cast<TGIFGraphicControlExtension*>(Extension)) {
                    CurrentDisposal = Control->DisposalMode();
                }
            }
            if (SceneBuffer)
                RunInPaintContext([this] { PaintWithDisposal(); });
            else
                RunInPaintContext([this] { PaintPlain(); });
            PreviousDisposal = CurrentDisposal;
            if (Stopped()) break;

            Delay = GIFFrameDelay(*Frame, Threaded());
            int32_t Shown = FrameIndex;
            RaisePaintEvent(OnFrameShown);
            if (Stopped()) break;
            if (FrameIndex == Shown) ++FrameIndex;
            if (!(Options & paAnimate)) break;
        }
        if (LoopCount > 0) --LoopCount;
        if (!((Options & paAnimate) && (Options & paRepeat))) break;
    }
    FrameIndex = -1;
    RaisePaintEvent(OnAnimationEnd);
}

void TGIFPainter::WaitBeforeFrame(TGIFSubImage& Frame, int32_t& Delay) {
    TGIFPainterTiming& Timing = GIFPainterTiming();
    if (Delay <= 0) {
        Timing.Sleep(0);
        return;
    }
    // The frame's bitmap is made now, so that the step on the main thread only draws.
    if (Threaded())
        WithRenderLockIfFree(SourceImage, [&] { Frame.Rendering(); });
    else
        Frame.Rendering();
    uint32_t Now = Timing.Now();
    if (Speed > 0) {
        int64_t Elapsed = static_cast<int64_t>(static_cast<uint32_t>(Now - FLastStart)) - FLastWait;
        Delay = GIFPaceWait(Delay, Speed, Threaded(), Elapsed, FLastWait);
    } else {
        Delay = Threaded() ? -1 : GIFFallbackWait;
    }
    FLastStart = Now;

    if (Threaded()) {
        if (!(Delay > 0 || Speed == 0)) return;
        uint32_t Ms = Delay < 0 ? INFINITE : static_cast<uint32_t>(Delay);
        if (WakeEvent) {
            if (Timing.WaitWake(*WakeEvent, Ms)) {
                FLastWait = 0;
                FLastStart = Timing.Now();
            }
            return;
        }
        // No event to wait on: sleep in slices, looking at the flag.
        uint32_t T = Timing.Now();
        int64_t Left = Delay;
        while ((Ms == INFINITE || Left > 0) && !Stopped()) {
            Timing.Sleep(static_cast<uint32_t>(
                std::min<int64_t>(Ms == INFINITE ? GIFWaitSlice : Left, GIFWaitSlice)));
            uint32_t Now2 = Timing.Now();
            Left -= static_cast<uint32_t>(Now2 - T);
            T = Now2;
        }
        return;
    }

    int64_t Left = std::max(Delay, 1);
    uint32_t T = Timing.Now();
    while (Left > 0 && !Stopped()) {
        Timing.Sleep(static_cast<uint32_t>(std::min<int64_t>(Left, GIFWaitSlice)));
        uint32_t Now2 = Timing.Now();
        Left -= static_cast<uint32_t>(Now2 - T);
        T = Now2;
        if (GIFProcessMessages && !Stopped() && !GIFProcessMessages()) Terminate();
    }
}

// ---------------------------------------------------------------------------
// TGIFPainter: drawing steps

void TGIFPainter::PaintPlain() {
    TGIFSubImage* Frame = CurrentFrame();
    if (!Frame) return;
    // Other painters of the image may be rendering frames on their threads meanwhile.
    std::lock_guard<std::recursive_mutex> Guard(SourceImage->RenderLock());
    Frame->Draw(*TargetCanvas, TargetRect, Options & paTransparent, Options & paTile);
    HasPainted = true;
}

void TGIFPainter::PaintWithDisposal() {
    // A memory device context (a bitmap's canvas) is not a display any more.
    if ((Options & paCheckCanvas) && GetObjectType(WatchedDC) != OBJ_DC) {
        Terminate();
        return;
    }
    TGIFSubImage* Frame = CurrentFrame();
    if (!Frame || !SceneBuffer) return;
    std::lock_guard<std::recursive_mutex> Guard(SourceImage->RenderLock());
    const bool ClearFirst = (Options & paClearOnRepeat) && FrameIndex == 0;
    // The reserved disposal values 4 to 7 are painted as "keep".
    auto Effective = [](TFrameDisposal D) { return D > fdRestorePrevious ? fdKeep : D; };
    const TFrameDisposal Current = Effective(CurrentDisposal);
    const TFrameDisposal Previous = Effective(PreviousDisposal);

    TCanvas* Canvas = &SceneBuffer->Canvas();
    TRect Rect = Canvas->ClipRect();
    bool CopyToTarget = true;
    bool EraseAfter = false;
    bool SceneToScratch = false;
    if (Current == fdRestoreBackground) {
        EraseAfter = true;
    } else if (Current == fdRestorePrevious) {
        if (Previous <= fdKeep) {
            Canvas = TargetCanvas;
            Rect = TargetRect;
            CopyToTarget = false;
        } else {
            Canvas = &ScratchBuffer->Canvas();
            Rect = Canvas->ClipRect();
            SceneToScratch = true;
        }
    }

    HPALETTE Palette = Frame->PaletteHandle();
    if (!Palette) Palette = SystemPalette16();
    HDC DC = Canvas->Handle();
    HPALETTE OldPalette = SelectPalette(DC, Palette, false);
    RealizePalette(DC);
    try {
        if (ClearFirst) EraseFrameArea();
        if (SceneToScratch)
            ScratchBuffer->Canvas().CopyRect(ScratchBuffer->Canvas().ClipRect(),
                                             SceneBuffer->Canvas(),
                                             SceneBuffer->Canvas().ClipRect());
        Frame->Draw(*Canvas, Rect, Options & paTransparent, Options & paTile);
        if (CopyToTarget) {
            TargetCanvas->SetCopyMode(cmSrcCopy);
            TargetCanvas->CopyRect(TargetRect, *Canvas, Rect);
        }
    } catch (...) {
        if (OldPalette) SelectPalette(DC, OldPalette, false);
        throw;
    }
    if (OldPalette) SelectPalette(DC, OldPalette, false);
    if (EraseAfter) EraseFrameArea();
    HasPainted = true;
}

void TGIFPainter::EraseFrameArea() {
    TGIFSubImage* Frame = CurrentFrame();
    if (!Frame || !SceneBuffer || !SourceImage) return;
    TCanvas& Scene = SceneBuffer->Canvas();
    // The buffers hold TargetRect from their own origin: the frame's area is placed there, so
    // that a direct painter whose rectangle starts elsewhere erases what it drew.
    const TRect Area{0, 0, TargetRect.Width(), TargetRect.Height()};
    const int32_t IW = std::max(SourceImage->Width(), 1);
    const int32_t IH = std::max(SourceImage->Height(), 1);
    auto ForEachTile = [&](auto&& Step) {
        for (int32_t L = Area.Left + Frame->Left(); L < Area.Right; L += IW)
            for (int32_t T = Area.Top + Frame->Top(); T < Area.Bottom; T += IH)
                Step(TRect{L, T, L + Frame->Width(), T + Frame->Height()});
    };
    const bool Transparent = Options & paTransparent;
    const bool Tile = Options & paTile;
    if (Transparent && BackdropBuffer) {
        TCanvas& Backdrop = BackdropBuffer->Canvas();
        Scene.SetCopyMode(cmSrcCopy);
        if (Tile) {
            ForEachTile([&](const TRect& R) { Scene.CopyRect(R, Backdrop, R); });
        } else {
            TRect R = Frame->PlaceInRect(Area);
            Scene.CopyRect(R, Backdrop, R);
        }
        return;
    }
    if (!Transparent && Tile && Frame->Width() != SourceImage->Width() &&
        Frame->Height() != SourceImage->Height()) {
        // The image's backdrop color as set; left as "none" it means the painter's own.
        if (SourceImage->BackdropColor != clNone)
            Scene.Brush().SetColor(SourceImage->BackdropColor);
        ForEachTile([&](const TRect& R) { Scene.FillRect(R); });
        return;
    }
    Scene.FillRect(Frame->PlaceInRect(Area));
}

// ---------------------------------------------------------------------------
// TGIFImage: drawing

void TGIFImage::DrawComposite(TCanvas& ACanvas, const TRect& Rect, TBitmap* Bitmap) {
    if (!Bitmap) return;
    if (!(PaintOptions & paTile)) {
        ACanvas.StretchDraw(Rect, Bitmap);
        return;
    }
    const int32_t W = std::max(Width(), 1);
    const int32_t H = std::max(Height(), 1);
    for (int32_t L = Rect.Left; L < Rect.Right; L += W)
        for (int32_t T = Rect.Top; T < Rect.Bottom; T += H)
            ACanvas.StretchDraw(TRect{L, T, L + W, T + H}, Bitmap);
}

TGIFPainter* TGIFImage::StartPainter(TGIFPainterBase** Slot, TCanvas& ACanvas, const TRect& Rect,
                                     TGIFPaintOptions Options) {
    if (GetEmpty() || Rect.IsEmpty()) {
        if (Slot) {
            std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
            *Slot = nullptr;
        }
        return nullptr;
    }
    // A paint event of a run in this thread may destroy the image: afterwards nothing of it
    // is touched.
    const std::shared_ptr<TPainterGate> Gate = FGate;
    if (FFrames->Count() == 1) Options &= static_cast<TGIFPaintOptions>(~(paThreaded | paAnimate));
    auto Owned = std::make_unique<TGIFPainter>(Slot, this, ACanvas, Rect, Options);
    TGIFPainter* Painter = Owned.get();
    AddPainter(Painter);
    Painter->OnAnimationStart = OnAnimationStart;
    Painter->OnFrameDue = OnFrameDue;
    Painter->OnFrameShown = OnFrameShown;
    Painter->OnLoopRepeat = OnLoopRepeat;
    Painter->OnAnimationEnd = OnAnimationEnd;
    if (Painter->Threaded()) {
        // A value beyond the platform's priorities is taken as the highest.
        Painter->SetPriority(static_cast<TThreadPriority>(
            std::min<uint8_t>(PainterPriority, static_cast<uint8_t>(tpTimeCritical))));
        return Owned.release(); // frees itself when its thread ends
    }
    Painter->Execute();
    std::exception_ptr Failure = Painter->KeptFailure;
    Owned.reset();
    if (Slot && Gate->Alive) {
        std::lock_guard<std::recursive_mutex> Guard(Gate->Lock);
        *Slot = nullptr;
    }
    if (Failure) std::rethrow_exception(Failure);
    return nullptr;
}

void TGIFImage::Draw(TCanvas& ACanvas, const TRect& Rect) {
    if (FInDraw || GetEmpty()) return;
    FInDraw = true;
    // A paint event may destroy the image while this Draw runs a painter: the gate (and its
    // lock) outlive the image, and tell whether the image still stands.
    const std::shared_ptr<TPainterGate> Gate = FGate;
    struct TReset {
        TPainterGate& Gate;
        bool& Flag;
        ~TReset() {
            if (Gate.Alive) Flag = false;
        }
    } Reset{*Gate, FInDraw};

    if (FFrames->Count() == 1 || !(PaintOptions & paAnimate)) {
        FFrames->FrameAt(0)->Draw(ACanvas, Rect, PaintOptions & paTransparent,
                                  PaintOptions & paTile);
        return;
    }
    const bool Direct = PaintOptions & paDirect;
    if (FCompositeBitmap && !Direct) {
        DrawComposite(ACanvas, Rect, FCompositeBitmap.get());
        return;
    }

    std::lock_guard<std::recursive_mutex> Guard(Gate->Lock);
    if (auto* Active = dynamic_cast<TGIFPainter*>(FActivePainter))
        if (Active->TargetCanvas == &ACanvas && Active->TargetRect == Rect) return;
    StopActivePainter();

    TCanvas* Target = &ACanvas;
    TRect TargetRect = Rect;
    if (!Direct) {
        TBitmap* Composite = PrepareCompositeBitmap();
        Target = &Composite->Canvas();
        TargetRect = Target->ClipRect();
        Target->CopyRect(TargetRect, ACanvas, Rect);
    }
    StartPainter(&FActivePainter, *Target, TargetRect, PaintOptions);
    if (!Gate->Alive) return;
    auto* Painter = static_cast<TGIFPainter*>(FActivePainter);
    if (!Painter) return;
    try {
        Painter->Launch();
    } catch (...) {
        // A thread the system refused: the painter never runs, so it leaves the list (and its
        // slot) now rather than being retried by a later stop, and the composite bitmap it was
        // to paint goes too, so that the next Draw starts a painter again.
        delete Painter;
        DropCompositeBitmap();
        throw;
    }
    if (Direct) return;
    // Until the first frame is there: run the steps the painter hands to this thread (one of
    // its events may destroy the image).
    while (IsMainThread()) {
        Painter = static_cast<TGIFPainter*>(FActivePainter);
        if (!Painter || Painter->Terminated() || Painter->HasPainted) break;
        if (!CheckSynchronize(5)) Sleep(0);
        if (!Gate->Alive) return;
    }
    DrawComposite(ACanvas, Rect, FCompositeBitmap.get());
}

} // namespace mv

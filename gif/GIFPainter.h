// The animation painter: plays a GIF image frame by frame on a canvas, with the stored
// delays, disposal methods, loop count and transparency, normally in a thread of its own that
// hands every drawing step and event to the main thread.
#pragma once

#include "gif/GIFImage.h"
#include "platform/Graphics.h"
#include "platform/Threads.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace mv {

// Pacing, in GIF delay units (hundredths of a second as stored) unless said otherwise.
constexpr int32_t GIFMillisecondsPerUnit = 12; // a stored unit plays as 12 ms at speed 100
constexpr int32_t GIFDefaultDelay = 10;        // no graphic control extension, or delay 0
constexpr int32_t GIFMinimumDelay = 3;         // stored delays 1 and 2 are raised to this
constexpr int32_t GIFMaximumDelay = 1000;      // the cut of a painter without a thread
// The wait of a painter without a thread at a speed that is not positive, and of any
// painter whose wait cannot be computed: 1000 units of 12 ms.
constexpr int32_t GIFFallbackWait = GIFMaximumDelay * GIFMillisecondsPerUnit;
// A painter without a thread sleeps at most this long (ms) between message checks.
constexpr int32_t GIFWaitSlice = 100;

// The delay, in units, that follows Frame: its graphic control extension's delay when above
// 0 (raised to the minimum; cut to the maximum without a thread), else the default.
int32_t GIFFrameDelay(const TGIFSubImage& Frame, bool Threaded);
// The wait in ms before the next frame, from the previous frame's delay in units: half of
// Elapsed (the time since the last wait started, less that wait) is taken off and the speed
// (percent) scales the result; LastWait receives it. A speed that is not positive gives -1
// (no limit) with a thread and the fallback wait without; a failed computation gives the
// fallback wait and LastWait 0.
int32_t GIFPaceWait(int32_t DelayUnits, int32_t Speed, bool Threaded, int64_t Elapsed,
                    int32_t& LastWait);

// Time and waiting as painters see them: the millisecond clock, a sleep, and a timed wait on
// the wake event (true when the event was set; INFINITE waits without limit). Tests install a
// fake clock here before painters start and restore the defaults after they are gone.
struct TGIFPainterTiming {
    std::function<uint32_t()> Now;
    std::function<void(uint32_t)> Sleep;
    std::function<bool(TEvent&, uint32_t)> WaitWake;
};
TGIFPainterTiming& GIFPainterTiming();
void ResetGIFPainterTiming();
// Dispatches the window messages waiting for the calling thread between the wait slices of a
// painter without a thread; answers false when the program is asked to quit (the painter then
// stops). Null: nothing to dispatch.
extern bool (*GIFProcessMessages)();

class TGIFPainter : public TThread, public TGIFPainterBase {
public:
    // Suspended; with paThreaded it frees itself when its thread ends. Takes the buffers that
    // the image's disposal methods need, copying what Canvas shows in Rect.
    TGIFPainter(TGIFImage* Image, TCanvas& Canvas, const TRect& Rect, TGIFPaintOptions Options);
    // The same, and the painter is stored at Slot (when given), which it clears when it ends.
    TGIFPainter(TGIFPainterBase** Slot, TGIFImage* Image, TCanvas& Canvas, const TRect& Rect,
                TGIFPaintOptions Options);
    // Disconnects when that has not happened yet. A kept failure is not raised here: the
    // caller of a painter without a thread takes it (TGIFImage::StartPainter); a threaded
    // painter's ends with its thread.
    ~TGIFPainter() override;
    std::string ClassName() const override { return "TGIFPainter"; }

    // With paThreaded, starts the thread; otherwise nothing.
    void Launch();
    // Asks the painter to stop. With paThreaded also: ends a wait at once, raises the thread
    // to tpNormal, starts a thread that never ran (so that it ends), and withdraws every step
    // it has queued for the main thread and refuses later ones: nothing it would draw or
    // announce runs after this returns.
    void Cancel() override;
    bool Threaded() const override { return Options & paThreaded; }
    void ForgetImage() override { SourceImage = nullptr; }
    bool InPaintStep() const override { return FInStep.load(); }
    // The run: every pass over the frames, then OnAnimationEnd. A failure of the platform's
    // exception class stops the painter and is kept in KeptFailure.
    void Execute() override;
    // Out of the image's list (clearing the owner's reference when it is still this painter),
    // then the buffers and the wake event are freed. Runs once.
    void Disconnect();

    // Nothing once stopped; with paThreaded Step runs on the main thread while the painter
    // waits; without, at once.
    void RunInPaintContext(const std::function<void()>& Step);
    void RaisePaintEvent(const TNotifyEvent& Event);
    // The drawing steps.
    void PaintPlain();
    void PaintWithDisposal();
    void EraseFrameArea();
    // Stopped: the terminated flag, or the image went away.
    bool Stopped() const { return Terminated() || SourceImage == nullptr; }

    TGIFImage* SourceImage; // not owned
    TCanvas* TargetCanvas;  // not owned
    TRect TargetRect;
    TGIFPaintOptions Options;
    int32_t Speed;
    int32_t FrameIndex = -1;
    TFrameDisposal CurrentDisposal = fdUnspecified;
    TFrameDisposal PreviousDisposal = fdKeep;
    std::unique_ptr<TBitmap> SceneBuffer, ScratchBuffer, BackdropBuffer;
    HDC WatchedDC; // taken on the main thread as the painter is made, with paCheckCanvas
    // Set on the main thread by the drawing steps; Draw looks at it while the thread runs.
    std::atomic<bool> HasPainted{false};
    TGIFPainterBase** OwnerSlot = nullptr;
    std::unique_ptr<TEvent> WakeEvent;
    std::exception_ptr KeptFailure;
    std::string KeptFailureMessage; // "Class: message" of the kept failure
    TNotifyEvent PendingEvent;
    TNotifyEvent OnAnimationStart, OnFrameDue, OnFrameShown, OnLoopRepeat, OnAnimationEnd;
    // The backdrop color as RGB (see the constructor).
    TColor BackdropRGB = 0;

private:
    void Run();
    void WaitBeforeFrame(TGIFSubImage& Frame, int32_t& Delay);
    void FirePendingEvent();
    TGIFSubImage* CurrentFrame() const;

    bool FDisconnected = false;
    std::atomic<bool> FInStep{false}; // a step handed to the main thread is running there
    uint32_t FLastStart = 0;
    int32_t FLastWait = 0;
};

} // namespace mv

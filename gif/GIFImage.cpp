#include "gif/GIFImage.h"

#include "platform/SysUtils.h"
#include "platform/Threads.h"

#if __has_include("platform/Jpeg.h")
#include "platform/Jpeg.h"
#define MV_HAVE_JPEG_FORMAT 1
#else
#define MV_HAVE_JPEG_FORMAT 0
#endif

#include <algorithm>
#include <thread>

namespace mv {

uint16_t GIFClipboardFormat = 0;
bool PaletteDisplay = false;
bool (*GIFCheckSynchronize)() = nullptr;

namespace {

const TRect NoRect{0, 0, 0, 0};

// Runs Body between a psStarting and a psEnding report: 100 percent on success, 0 percent
// while an exception passes.
template <class Fn>
void WithProgress(TGIFImage& Image, const char* Message, bool EndRedraw, Fn&& Body) {
    Image.Progress(&Image, psStarting, 0, false, NoRect, Message);
    try {
        Body();
    } catch (...) {
        Image.Progress(&Image, psEnding, 0, EndRedraw, NoRect, Message);
        throw;
    }
    Image.Progress(&Image, psEnding, 100, EndRedraw, NoRect, Message);
}

// Whether Object is a bitmap the image owns: its composite bitmap or a frame's rendering.
bool OwnsBitmap(const TGIFImage& Image, const TPersistent* Object) {
    if (Object == Image.CompositeBitmapIfAny()) return true;
    for (int i = 0; i < Image.Frames().Count(); ++i)
        if (Object == Image.Frames().FrameAt(i)->Rendered()) return true;
    return false;
}

} // namespace

void ReportImageWarning(TGIFImage* Image, TObject* Sender, uint8_t Severity,
                        const std::string& Message) {
    Image->ReportWarning(Sender, Severity, Message);
}

TGIFImage::TGIFImage()
    : FFrames(std::make_unique<TGIFImageList>(this)),
      FScreenHeader(std::make_unique<TGIFHeader>(this)) {
    MakeEmpty();
}

TGIFImage::~TGIFImage() {
    {
        std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
        FGate->Alive = false;
    }
    StopAllPainters();
    {
        std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
        for (auto It = FPainters.rbegin(); It != FPainters.rend(); ++It) (*It)->ForgetImage();
        FPainters.clear();
        FActivePainter = nullptr;
    }
    MakeEmpty();
    // The parts go in this order while the rest of the image still stands: the global map's
    // change notice reaches the image's palette.
    FFrames.reset();
    FScreenHeader.reset();
}

void TGIFImage::ReportWarning(TObject* Sender, uint8_t Severity, const std::string& Message) {
    if (OnWarningReport) OnWarningReport(Sender, Severity, Message);
}

void TGIFImage::MakeEmpty() {
    StopAllPainters();
    DropCompositeBitmap();
    FFrames->DeleteAll();
    FScreenHeader->ColorMap().MakeEmpty();
    FScreenHeader->Screen().LogicalHeight = 0;
    FScreenHeader->Screen().LogicalWidth = 0;
    FScreenHeader->UpdateFlags();
    SetPalette(nullptr);
    FLoadedPixelBytes = 0;
}

int TGIFImage::AddFrame(TPersistent* Source) {
    if (auto* Frame = dynamic_cast<TGIFSubImage*>(Source)) {
        return AddFrame(std::unique_ptr<TGIFSubImage>(Frame));
    }
    if (auto* Graphic = dynamic_cast<TGraphic*>(Source)) {
        auto Frame = std::make_unique<TGIFSubImage>(this);
        Frame->Assign(Graphic);
        return AddFrame(std::move(Frame));
    }
    RaiseGIFError(gifmsg::UnsupportedClass);
}

int TGIFImage::AddFrame(std::unique_ptr<TGIFSubImage> Frame) {
    // A frame that is already listed (here or in the image it was made for) is moved.
    if (Frame->Image()) Frame->Image()->Frames().Detach(Frame.get());
    Frame->Reparent(this);
    int Index;
    {
        // A painter thread looks the frames up under the render lock while it plays.
        std::lock_guard<std::recursive_mutex> Guard(RenderLock());
        Index = FFrames->Append(std::move(Frame));
    }
    DropCompositeBitmap();
    Changed(this);
    return Index;
}

TGIFRevision TGIFImage::RequiredVersion() {
    TGIFRevision Result = grNone;
    for (int i = 0; i < FFrames->Count(); ++i) {
        TGIFRevision R = FFrames->FrameAt(i)->RequiredVersion();
        if (R > Result) Result = R;
        if (Result == gr89a) break;
    }
    return Result;
}

int32_t TGIFImage::ResolutionBits() const {
    int32_t Result = FScreenHeader->ResolutionBits();
    for (int i = 0; i < FFrames->Count(); ++i)
        Result = std::max(Result, FFrames->FrameAt(i)->ResolutionBits());
    return Result;
}

int32_t TGIFImage::IndexBits() const {
    int32_t Result = FScreenHeader->IndexBits();
    for (int i = 0; i < FFrames->Count(); ++i)
        Result = std::max(Result, FFrames->FrameAt(i)->IndexBits());
    return Result;
}

bool TGIFImage::ShouldDither() const {
    return (PaintOptions & paDither) && (!(PaintOptions & paAutoDither) || PaletteDisplay);
}

void TGIFImage::SaveToStream(TStream& Stream) {
    WithProgress(*this, gifmsg::Saving, true, [&] {
        FScreenHeader->SaveToStream(Stream);
        FFrames->SaveToStream(Stream);
        TGIFTrailer Trailer(this);
        Trailer.SaveToStream(Stream);
    });
}

void TGIFImage::LoadFromStream(TStream& Stream) {
    WithProgress(*this, gifmsg::Loading, true, [&] {
        MakeEmpty();
        int64_t Start = Stream.Position();
        try {
            FScreenHeader->LoadFromStream(Stream);
            FFrames->LoadFromStream(Stream, this);
            TGIFTrailer Trailer(this);
            Trailer.LoadFromStream(Stream);
        } catch (...) {
            // The frames read so far stay.
            Stream.SetPosition(Start);
            throw;
        }
    });
}

void TGIFImage::WriteData(TStream& Stream) {
    SaveToStream(Stream);
}

void TGIFImage::ReadData(TStream& Stream) {
    LoadFromStream(Stream);
}

void TGIFImage::Assign(TPersistent* Source) {
    if (Source == this) return;
    if (Source == nullptr) {
        MakeEmpty();
        return;
    }
    if (auto* Other = dynamic_cast<TGIFImage*>(Source)) {
        MakeEmpty();
        OnProgress = Other->OnProgress;
        OnWarningReport = Other->OnWarningReport;
        try {
            WithProgress(*this, gifmsg::Copying, false, [&] {
                FScreenHeader->Assign(&Other->ScreenHeader());
                PainterPriority = Other->PainterPriority;
                BackdropColor = Other->BackdropColor;
                PaintOptions = Other->PaintOptions;
                ReductionMethod = Other->ReductionMethod;
                DitherKind = Other->DitherKind;
                OnWarningReport = Other->OnWarningReport;
                OnAnimationStart = Other->OnAnimationStart;
                OnFrameDue = Other->OnFrameDue;
                OnFrameShown = Other->OnFrameShown;
                OnLoopRepeat = Other->OnLoopRepeat;
                OnAnimationEnd = Other->OnAnimationEnd;
                int N = Other->Frames().Count();
                for (int i = 0; i < N; ++i) {
                    auto Frame = std::make_unique<TGIFSubImage>(this);
                    Frame->Assign(Other->Frames().FrameAt(i));
                    AddFrame(std::move(Frame));
                    Progress(this, psRunning, static_cast<uint8_t>(MulDiv(i + 1, 100, N)), false,
                             NoRect, gifmsg::Copying);
                }
            });
        } catch (...) {
            OnWarningReport = nullptr;
            OnProgress = nullptr;
            throw;
        }
        OnWarningReport = nullptr;
        OnProgress = nullptr;
        return;
    }
    // Any other object becomes a one-frame image through the frame's assignment; what the
    // frame cannot take falls back to the platform's generic assignment. A bitmap that this
    // image owns (its composite bitmap, a frame's rendering) would be freed by emptying the
    // image: a copy of it is assigned instead.
    if (OwnsBitmap(*this, Source)) {
        TBitmap Copy;
        Copy.Assign(Source);
        Assign(&Copy);
        return;
    }
    MakeEmpty();
    auto Frame = std::make_unique<TGIFSubImage>(this);
    try {
        Frame->Assign(Source);
        AddFrame(std::move(Frame));
    } catch (const EConvertError&) {
        Frame.reset();
        TGraphic::Assign(Source);
    }
}

void TGIFImage::SetWidth(int32_t Value) {
    for (int i = 0; i < FFrames->Count(); ++i) {
        TGIFSubImage* Frame = FFrames->FrameAt(i);
        if (int32_t{Frame->Left()} + Frame->Width() > Value)
            RaiseGIFError(gifmsg::ImageWidthTooSmall);
    }
    if (Value != FScreenHeader->Screen().LogicalWidth) {
        FScreenHeader->Screen().LogicalWidth = static_cast<uint16_t>(Value);
        DropCompositeBitmap();
        Changed(this);
    }
}

void TGIFImage::SetHeight(int32_t Value) {
    for (int i = 0; i < FFrames->Count(); ++i) {
        TGIFSubImage* Frame = FFrames->FrameAt(i);
        if (int32_t{Frame->Top()} + Frame->Height() > Value)
            RaiseGIFError(gifmsg::ImageHeightTooSmall);
    }
    if (Value != FScreenHeader->Screen().LogicalHeight) {
        FScreenHeader->Screen().LogicalHeight = static_cast<uint16_t>(Value);
        DropCompositeBitmap();
        Changed(this);
    }
}

void TGIFImage::SetPalette(HPALETTE Value) {
    std::lock_guard<std::recursive_mutex> Guard(FRenderLock);
    if (Value == FCachedPalette) return;
    FCachedPalette = Value;
    if (FCompositeBitmap && FCompositeBitmap->Palette() != Value) {
        DropCompositeBitmap();
        SetPaletteModified(true);
        Changed(this);
    }
}

// ---------------------------------------------------------------------------
// Painters

void TGIFImage::AddPainter(TGIFPainterBase* Painter) {
    std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
    FPainters.push_back(Painter);
}

void TGIFImage::RemovePainter(TGIFPainterBase* Painter) {
    std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
    if (FActivePainter == Painter) FActivePainter = nullptr;
    auto It = std::find(FPainters.begin(), FPainters.end(), Painter);
    if (It != FPainters.end()) FPainters.erase(It);
}

int TGIFImage::PainterCount() const {
    std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
    return static_cast<int>(FPainters.size());
}

TGIFPainterBase* TGIFImage::ActivePainter() const {
    std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
    return FActivePainter;
}

void TGIFImage::SetActivePainter(TGIFPainterBase* Painter) {
    std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
    FActivePainter = Painter;
}

namespace {

// While waiting for threaded painters: let the main thread run the steps they handed to it
// (their ends among them), then yield.
void WaitForPainters() {
    if (IsMainThread()) {
        if (GIFCheckSynchronize) {
            while (GIFCheckSynchronize()) {
            }
        } else {
            while (CheckSynchronize()) {
            }
        }
    }
    std::this_thread::yield();
}

} // namespace

void TGIFImage::StopAllPainters() {
    for (;;) {
        int Threaded = 0;
        {
            std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
            if (FPainters.empty()) break;
            // Cancelling may take a painter out of the list; walk a copy.
            std::vector<TGIFPainterBase*> Painters = FPainters;
            for (auto It = Painters.rbegin(); It != Painters.rend(); ++It) {
                (*It)->Cancel();
                if ((*It)->Threaded() && !(*It)->InPaintStep()) ++Threaded;
            }
        }
        if (Threaded == 0) break;
        WaitForPainters();
    }
    DropCompositeBitmap();
}

void TGIFImage::StopActivePainter() {
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
            if (!FActivePainter) break;
            FActivePainter->Cancel();
            if (!FActivePainter || !FActivePainter->Threaded() || FActivePainter->InPaintStep())
                break;
        }
        WaitForPainters();
    }
    DropCompositeBitmap();
}

void TGIFImage::DropCompositeBitmap() {
    {
        std::lock_guard<std::recursive_mutex> Guard(FGate->Lock);
        if (FActivePainter) FActivePainter->Cancel();
    }
    // Not while a painter thread renders ahead: what it reads goes away with the bitmap.
    std::lock_guard<std::recursive_mutex> Guard(FRenderLock);
    FCompositeBitmap.reset();
}

// ---------------------------------------------------------------------------
// Drawing and the clipboard

void TGIFImage::LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) {
    if (!AData) AData = GetClipboardData(AFormat);
    if (AData && AFormat != 0 && AFormat == GIFClipboardFormat) {
        HGLOBAL Memory = HandleCast<TGlobalMemory>(AData);
        if (!Memory) RaiseGIFError("Unsupported clipboard format");
        auto* Bytes = static_cast<const uint8_t*>(GlobalLock(Memory));
        size_t Size = GlobalSize(Memory);
        TMemoryStream Stream;
        try {
            if (Bytes && Size > 0) Stream.WriteBuffer(Bytes, static_cast<int64_t>(Size));
        } catch (...) {
            GlobalUnlock(Memory);
            throw;
        }
        GlobalUnlock(Memory);
        Stream.SetPosition(0);
        LoadFromStream(Stream);
        return;
    }
    if (AData && AFormat == CF_BITMAP) {
        TBitmap Bitmap;
        Bitmap.LoadFromClipboardFormat(AFormat, AData, APalette);
        Assign(&Bitmap);
        return;
    }
    RaiseGIFError("Unsupported clipboard format");
}

// ---------------------------------------------------------------------------
// Unit start-up and shutdown

void GIFImageInitialize() {
    static bool Done = false;
    if (Done) return;
    Done = true;
    TPicture::RegisterFileFormat("GIF", gifmsg::GIFImageDescription, TGIFImage::ClassInfo());
    GIFClipboardFormat =
        static_cast<uint16_t>(RegisterClipboardFormat(gifmsg::GIFImageDescription));
    TPicture::RegisterClipboardFormat(GIFClipboardFormat, TGIFImage::ClassInfo());
    HDC DC = GetDC(nullptr);
    PaletteDisplay = GetDeviceCaps(DC, BITSPIXEL) * GetDeviceCaps(DC, PLANES) <= 8;
    ReleaseDC(nullptr, DC);
    // The JPEG formats register after GIF, so that GIF comes before them in the lists.
#if MV_HAVE_JPEG_FORMAT
    RegisterJPEGFormats();
#endif
}

void GIFImageFinalize() {
    FreeExtensionRegistries();
    TPicture::UnregisterGraphicClass(TGIFImage::ClassInfo());
}

namespace {

struct TGIFImageUnit {
    TGIFImageUnit() { GIFImageInitialize(); }
    ~TGIFImageUnit() { GIFImageFinalize(); }
} GIFImageUnit;

} // namespace

} // namespace mv

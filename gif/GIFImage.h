// The GIF library's public header: the GIF document TGIFImage, a graphic of the platform's
// picture framework, with its settings and the library's start-up and shutdown.
#pragma once

#include "gif/GIFBase.h"
#include "gif/GIFColorMap.h"
#include "gif/GIFEncoder.h"
#include "gif/GIFExtensions.h"
#include "gif/GIFFrame.h"
#include "gif/GIFHeader.h"
#include "gif/color/Ditherers.h"
#include "gif/color/Reduction.h"
#include "platform/Graphics.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace mv {

// (Sender, Severity, Message) of a warning an item, list or color map reported.
using TGIFWarning =
    std::function<void(TObject* Sender, uint8_t Severity, const std::string& Message)>;

// How the image is drawn and animated: a 16-bit set, bit n for the member of value n.
enum TGIFPaintOption : uint16_t {
    paThreaded = 0x0001,
    paTransparent = 0x0002,
    paAnimate = 0x0004,
    paRepeat = 0x0008,
    paRepeatForever = 0x0010,
    paCheckCanvas = 0x0020,
    paDirect = 0x0040,
    paClearOnRepeat = 0x0080,
    paTile = 0x0100,
    paDither = 0x0200,
    paAutoDither = 0x0400,
};
using TGIFPaintOptions = uint16_t;
constexpr TGIFPaintOptions GIFDefaultPaintOptions =
    paThreaded | paTransparent | paAnimate | paRepeat | paDither | paAutoDither; // 0x060F

// The settings of color reduction kept by the image: true-color pictures are mapped to the
// 216-color cube, to the nearest color.
constexpr TReductionMethod GIFDefaultReductionMethod = rdNetscape216;
constexpr TDitherKind GIFDefaultDitherKind = dkNearest;
constexpr uint8_t GIFDefaultPainterPriority = 3; // tpNormal

class TGIFPainter;

// What the image needs of a painter that draws it: the drawing module's painters derive from
// this and register themselves in the image's painter list while they run.
class TGIFPainterBase {
public:
    virtual ~TGIFPainterBase() = default;
    // Asks the painter to stop; does not wait.
    virtual void Cancel() = 0;
    // The painter runs in a thread of its own (and leaves the list on the main thread).
    virtual bool Threaded() const = 0;
    // The image goes away: the painter must not touch it again.
    virtual void ForgetImage() = 0;
    // A step of this painter is running on the main thread right now, further up the calling
    // chain (a paint event that stops painters): the painter cannot end before that step
    // returns, so the stops do not wait for it.
    virtual bool InPaintStep() const { return false; }
};

class TGIFImage : public TGraphic {
public:
    // Makes the header, the frame list and the painter list, sets the defaults, empties.
    TGIFImage();
    // Stops the painters, detaches those still listed, empties the image.
    ~TGIFImage() override;
    TGIFImage(const TGIFImage&) = delete;
    TGIFImage& operator=(const TGIFImage&) = delete;
    MV_GRAPHIC_CLASS(TGIFImage)

    // Stops painters, drops the composite bitmap, frees every frame, empties the global map,
    // sets the screen to 0 x 0 and drops the palette.
    void MakeEmpty();
    // Adds a frame made from a graphic (through the frame's assignment), or takes over a
    // TGIFSubImage (the image owns it from now on). Anything else: "Object type not supported
    // for operation". Returns the frame's index.
    int AddFrame(TPersistent* Source);
    int AddFrame(std::unique_ptr<TGIFSubImage> Frame);

    // The highest revision of the frames (grNone without frames).
    TGIFRevision RequiredVersion();
    // The highest over the header and every frame.
    int32_t ResolutionBits() const;
    int32_t IndexBits() const;
    TColor BackColor() { return FScreenHeader->BackColor(); }
    TGIFColorMap& ScreenColorMap() const { return FScreenHeader->ColorMap(); }
    bool ShouldDither() const;

    // The GIF file format: header, frames, trailer; progress "Saving..." / "Loading...".
    // A failed load puts the stream back where it started and keeps the frames read so far.
    void SaveToStream(TStream& Stream) override;
    void LoadFromStream(TStream& Stream) override;
    void WriteData(TStream& Stream) override;
    void ReadData(TStream& Stream) override;
    using TGraphic::LoadFromFile;
    using TGraphic::SaveToFile;

    // From this image: nothing; from null: emptied; from another TGIFImage: a deep copy with
    // progress "Copying..." (PaletteBits, CompressionMethod and PlaybackSpeed stay, and both
    // the progress and the warning handler are none afterwards); anything else becomes a
    // one-frame image through the frame's assignment, or the platform's conversion error.
    void Assign(TPersistent* Source) override;

    int32_t GetWidth() const override { return FScreenHeader->Screen().LogicalWidth; }
    int32_t GetHeight() const override { return FScreenHeader->Screen().LogicalHeight; }
    // Raise "Image width/height too small for contained frames" when a frame sticks out.
    void SetWidth(int32_t Value) override;
    void SetHeight(int32_t Value) override;
    int32_t Width() const { return GetWidth(); }
    int32_t Height() const { return GetHeight(); }
    bool GetEmpty() const override { return FFrames->Count() == 0; }
    bool Empty() const { return GetEmpty(); }
    // True only for this very object.
    bool Equals(TGraphic* Graphic) override { return Graphic == this; }

    HPALETTE Palette() { return GetPalette(); }
    // Takes ownership of Value as the cached palette; a composite bitmap with another palette
    // is dropped and the change announced.
    void SetPalette(HPALETTE Value) override;

    // One frame, or animation off: the first frame at once. Otherwise the composite bitmap,
    // painted by an animation painter (GIFPainter.cpp). A nested Draw returns at once.
    void Draw(TCanvas& ACanvas, const TRect& Rect) override;
    // Makes, registers and starts a painter (a painter without paThreaded runs to its end
    // here, and null is answered). Slot, when given, receives the painter.
    TGIFPainter* StartPainter(TGIFPainterBase** Slot, TCanvas& ACanvas, const TRect& Rect,
                              TGIFPaintOptions Options);
    // Stretches Bitmap into Rect, or tiles it with paTile.
    void DrawComposite(TCanvas& ACanvas, const TRect& Rect, TBitmap* Bitmap);

    // The image as one picture of the logical screen (GIFRender.cpp): made on demand from the
    // first frame; null for an empty image. Every change of it is a change of the image.
    TBitmap* CompositeBitmap();
    // The composite bitmap, made empty of the screen's size when there is none.
    TBitmap* PrepareCompositeBitmap();
    // Into a TBitmap: a copy of the composite bitmap; anything else is refused.
    void AssignTo(TPersistent* Dest) override;
    // The palette: the composite bitmap's, the cached one, the cube when dithering, one made
    // from the global map, else the first frame's. A nested query raises.
    HPALETTE GetPalette() override;
    // Guards the frames' renderings, masks and palettes, the image's palette and the
    // composite bitmap against a painter thread that renders ahead (re-entrant): they are
    // made, changed and freed only under it.
    std::recursive_mutex& RenderLock() const { return FRenderLock; }
    // GIFClipboardFormat data (global memory holding a GIF file) is loaded as a GIF; CF_BITMAP
    // data becomes a one-frame image through Assign. Null data is taken from the clipboard.
    // Anything else: GIFException "Unsupported clipboard format".
    void LoadFromClipboardFormat(uint32_t AFormat, THandle AData, HPALETTE APalette) override;
    // Nothing for an empty image. Otherwise the bitmap form of the composite bitmap goes into
    // the three values, and the GIF file itself onto the clipboard under GIFClipboardFormat
    // (GIFException "Failed to store GIF on clipboard" when refused).
    void SaveToClipboardFormat(uint32_t& AFormat, THandle& AData, HPALETTE& APalette) override;

    // Calls OnWarningReport when set; otherwise the warning is dropped.
    virtual void ReportWarning(TObject* Sender, uint8_t Severity, const std::string& Message);

    // Progress of the library's long operations (the items report through it).
    using TGraphic::Changed;
    using TGraphic::Progress;

    // Painters: stop all of them (waiting for threaded ones), or the one started last.
    void StopAllPainters();
    void StopActivePainter();
    // Drops the composite bitmap; the active painter is asked to stop, without waiting.
    void DropCompositeBitmap();
    // The painter list and its lock (re-entrant); the lock also guards ActivePainter.
    std::recursive_mutex& PainterLock() const { return FGate->Lock; }
    void AddPainter(TGIFPainterBase* Painter);
    // Takes the painter out of the list, and clears ActivePainter when it is that painter.
    void RemovePainter(TGIFPainterBase* Painter);
    int PainterCount() const;
    TGIFPainterBase* ActivePainter() const;
    void SetActivePainter(TGIFPainterBase* Painter);
    // The address of the ActivePainter reference (the painter started by Draw clears it).
    TGIFPainterBase** ActivePainterSlot() { return &FActivePainter; }

    // Pixel bytes of the frames read since the image was last emptied (the load budget).
    int64_t LoadedPixelBytes() const { return FLoadedPixelBytes; }
    void SetLoadedPixelBytes(int64_t Value) { FLoadedPixelBytes = Value; }

    TGIFImageList& Frames() const { return *FFrames; }
    TGIFHeader& ScreenHeader() const { return *FScreenHeader; }
    TBitmap* CompositeBitmapIfAny() const { return FCompositeBitmap.get(); }
    HPALETTE CachedPalette() const { return FCachedPalette; }

    // Settings read by the other parts of the library.
    TGIFPaintOptions PaintOptions = GIFDefaultPaintOptions;
    TReductionMethod ReductionMethod = GIFDefaultReductionMethod;
    int32_t PaletteBits = 8;
    TDitherKind DitherKind = GIFDefaultDitherKind;
    TGIFCompressionMethod CompressionMethod = cpLZW;
    TGIFWarning OnWarningReport;
    uint8_t PainterPriority = GIFDefaultPainterPriority;
    int32_t PlaybackSpeed = 100;
    TColor BackdropColor = clNone;
    TNotifyEvent OnAnimationStart, OnFrameDue, OnFrameShown, OnLoopRepeat, OnAnimationEnd;

private:
    std::unique_ptr<TGIFImageList> FFrames;
    std::unique_ptr<TGIFHeader> FScreenHeader;
    HPALETTE FCachedPalette{};
    bool FInPaletteQuery = false;
    bool FInDraw = false;
    mutable std::recursive_mutex FRenderLock;
    // The painter lock, and whether the image still stands, shared with the drawing calls on
    // the stack: a paint event of a painter without a thread may destroy the image while the
    // Draw that runs the painter is still under way.
    struct TPainterGate {
        std::recursive_mutex Lock;
        bool Alive = true;
    };
    std::shared_ptr<TPainterGate> FGate = std::make_shared<TPainterGate>();
    std::vector<TGIFPainterBase*> FPainters; // not owned
    TGIFPainterBase* FActivePainter = nullptr;
    std::unique_ptr<TBitmap> FCompositeBitmap;
    int64_t FLoadedPixelBytes = 0;
};

// Unit state, set at start-up: the registered clipboard format "GIF Image", and whether the
// screen shows at most 8 bits per pixel.
extern uint16_t GIFClipboardFormat;
extern bool PaletteDisplay;
// Start-up: registers TGIFImage for "GIF" ("GIF Image") and the clipboard format "GIF Image",
// sets PaletteDisplay from the screen's depth, then lets the JPEG class register its
// extensions after GIF. Runs once on its own before main (in every program that links
// TGIFImage); calling it again does nothing.
void GIFImageInitialize();
// Shutdown: frees the extension registries and unregisters the class (its file and clipboard
// formats). Runs on its own at exit.
void GIFImageFinalize();
// The platform's CheckSynchronize, when the platform runs synchronized steps: the painter
// stops call it on the main thread while they wait for threaded painters. Returns whether
// it ran something.
extern bool (*GIFCheckSynchronize)();

} // namespace mv

// The picture import: how a frame is filled from a picture that is not a GIF frame — bitmaps of
// every pixel format, icons, metafiles, JPEG images, other GIF images and picture holders. The
// frame's Assign hands every source that is not a frame (and not null) to this.
#pragma once

#include "gif/DIB.h"
#include "platform/Graphics.h"

#include <cstdint>

namespace mv {

class TGIFSubImage;
class TIcon;
class TMetafile;

// One import into one frame. The frame's private parts are reached as its friend.
class TPictureImport {
public:
    explicit TPictureImport(TGIFSubImage& Frame) : FFrame(Frame) {}

    // A bitmap, any other graphic, or a picture holder's graphic; anything else is the generic
    // assignment, which raises EConvertError and leaves the frame as it was.
    void Assign(TPersistent* Source);

    // Indexed formats are copied with their palette, deeper ones reduced with the image's
    // settings; then the rows are imported and a transparent bitmap's mask applied.
    void ImportBitmap(TBitmap* Source);
    // The graphic becomes a temporary 24-bit bitmap, which is imported; icons and metafiles
    // then get their mask.
    void ImportGraphic(TGraphic* Source);

    // Gives Bitmap the graphic's height and width, 24 bits per pixel, and draws the graphic
    // at (0, 0).
    static void RenderIntoBitmap(TBitmap& Bitmap, TGraphic* Graphic);
    // The metafile at (0, 0) on a 24-bit bitmap of its size filled with Color.
    static void PaintMetafileOnColor(TBitmap& Bitmap, TMetafile* Metafile, TColor Color);

private:
    void ImportRows1(TDIBReader& Reader);
    void ImportRows4(TDIBReader& Reader);
    void ImportRows8(TDIBReader& Reader);
    void ImportRows24(TDIBReader& Reader);
    // Compacts the local map, then marks the pixels transparent where the mask is set (its
    // 8-bit value is not 0), with a new black entry as the transparent index and a graphic
    // control extension carrying it. A map that is empty or full stays opaque.
    void ApplyTransparencyMask(TBitmap& Mask);
    // The mask behind a bitmap handle (nothing for null); the handle's owner keeps it.
    void ApplyMaskHandle(const HBITMAP& Mask);
    void ApplyIconMask(TIcon* Icon);
    // Transparent where the metafile paints nothing: painted over white and over black, the
    // two exclusive-ored.
    void ApplyMetafileMask(TMetafile* Metafile);

    // "Converting..." progress through the owning image (none without one).
    void Report(TProgressStage Stage, uint8_t Percent, bool Redraw);
    void ReportRow(int32_t Row, int32_t Height);
    bool PaletteModified() const;

    TGIFSubImage& FFrame;
};

} // namespace mv

// Controls of our Qt-backed window layer that draw through the platform's canvas: the picture
// control TImage, the panel TPanel and the bevel TBevel; and the conversion of our bitmaps to
// Qt images.
#pragma once

#include "platform/Graphics.h"

#include <QImage>
#include <QWidget>

namespace mv {

// A copy of the bitmap object's pixels as a Qt image (any of our bit depths; opaque).
QImage BitmapToQImage(const TBitmapObject& Bitmap);

// Shows a picture: the graphic of Picture is drawn through a canvas of ours onto a 32-bit
// surface of the control's size, which is what the control paints. A change of the graphic
// draws it again; what others draw onto Canvas (an animation's frames, say) shows at the
// next refresh (RefreshImageControls, which the application runs after synchronized steps).
class TImage : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool stretch READ Stretch WRITE setStretch)

public:
    explicit TImage(QWidget* Parent = nullptr);
    ~TImage() override;

    TPicture& Picture() { return *FPicture; }
    // The control's drawing surface; the picture's graphic draws onto it.
    TCanvas& Canvas() { return *FCanvas; }
    const HBITMAP& Surface() const { return FSurface; }
    // What the control shows now.
    QImage Snapshot() const;

    // Stretch: the graphic fills the control, its aspect ratio not kept; otherwise it is drawn
    // at its own size in the top-left corner.
    bool Stretch() const { return FStretch; }
    void setStretch(bool Value);

    // Draws the graphic again and repaints at once; a graphic that fails to draw raises here.
    void Update();
    // Repaints what the surface holds (without drawing the graphic again).
    void Refresh();

protected:
    void paintEvent(QPaintEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;

private:
    void MakeSurface();
    void DrawGraphic();

    // Declared before the picture: a graphic that draws on the canvas from a painter of its
    // own is gone (and its painters stopped) before the canvas is.
    std::unique_ptr<TCanvas> FCanvas;
    HBITMAP FSurface;
    std::unique_ptr<TPicture> FPicture;
    bool FStretch = false;
    bool FDirty = true;
};

// Repaints every picture control from its surface (used after steps that drew on them).
void RefreshImageControls();

enum TBevelCut { bvNone = 0, bvLowered = 1, bvRaised = 2, bvSpace = 3 };

// A panel: an outer and an inner bevel with BorderWidth pixels of face color between them.
class TPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int bevelInner READ BevelInner WRITE setBevelInner)
    Q_PROPERTY(int bevelOuter READ BevelOuter WRITE setBevelOuter)
    Q_PROPERTY(int borderWidth READ BorderWidth WRITE setBorderWidth)

public:
    explicit TPanel(QWidget* Parent = nullptr);
    int BevelInner() const { return FBevelInner; }
    int BevelOuter() const { return FBevelOuter; }
    int BorderWidth() const { return FBorderWidth; }
    void setBevelInner(int Value);
    void setBevelOuter(int Value);
    void setBorderWidth(int Value);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    int FBevelInner = bvNone;
    int FBevelOuter = bvRaised;
    int FBorderWidth = 0;
};

// A lowered box: on a few pixels of height, a groove separating two parts of a window.
class TBevel : public QWidget {
    Q_OBJECT

public:
    explicit TBevel(QWidget* Parent = nullptr);

protected:
    void paintEvent(QPaintEvent* Event) override;
};

} // namespace mv

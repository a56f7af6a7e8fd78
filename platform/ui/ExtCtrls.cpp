// Picture control, panel and bevel over Qt Widgets.
#include "platform/ui/ExtCtrls.h"

#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

#include <algorithm>
#include <set>

namespace mv {

namespace {

std::set<TImage*>& LiveImages() {
    static std::set<TImage*> S;
    return S;
}

QColor ToQColor(TColor Color) {
    COLORREF C = static_cast<COLORREF>(ColorToRGB(Color));
    return QColor(GetRValue(C), GetGValue(C), GetBValue(C));
}

constexpr TColor clBtnShadow = 0x808080;
constexpr TColor clBtnHighlight = 0xFFFFFF;

// A one-pixel frame of R: top and left in TopLeft, bottom and right in BottomRight.
void Frame3D(QPainter& P, QRect& R, QColor TopLeft, QColor BottomRight) {
    if (R.width() <= 0 || R.height() <= 0) return;
    P.setPen(TopLeft);
    P.drawLine(R.left(), R.top(), R.right(), R.top());
    P.drawLine(R.left(), R.top(), R.left(), R.bottom());
    P.setPen(BottomRight);
    P.drawLine(R.left(), R.bottom(), R.right(), R.bottom());
    P.drawLine(R.right(), R.top(), R.right(), R.bottom());
    R.adjust(1, 1, -1, -1);
}

void Bevel(QPainter& P, QRect& R, int Cut) {
    if (Cut == bvLowered)
        Frame3D(P, R, ToQColor(clBtnShadow), ToQColor(clBtnHighlight));
    else if (Cut == bvRaised)
        Frame3D(P, R, ToQColor(clBtnHighlight), ToQColor(clBtnShadow));
    else if (Cut == bvSpace)
        R.adjust(1, 1, -1, -1);
}

} // namespace

QImage BitmapToQImage(const TBitmapObject& B) {
    QImage Out(std::max(B.Width, 0), std::max(B.Height, 0), QImage::Format_RGB32);
    if (Out.isNull()) return Out;
    for (int32_t Y = 0; Y < B.Height; ++Y) {
        auto* Dst = reinterpret_cast<QRgb*>(Out.scanLine(Y));
        const uint8_t* Src = B.Row(Y);
        if (B.BitCount == 32 && !B.Monochrome) {
            for (int32_t X = 0; X < B.Width; ++X, Src += 4) Dst[X] = qRgb(Src[2], Src[1], Src[0]);
        } else if (B.BitCount == 24) {
            for (int32_t X = 0; X < B.Width; ++X, Src += 3) Dst[X] = qRgb(Src[2], Src[1], Src[0]);
        } else if (B.BitCount == 8 && !B.ColorTable.empty()) {
            for (int32_t X = 0; X < B.Width; ++X) {
                const RGBQUAD& C = B.ColorTable[std::min<size_t>(Src[X], B.ColorTable.size() - 1)];
                Dst[X] = qRgb(C.rgbRed, C.rgbGreen, C.rgbBlue);
            }
        } else {
            for (int32_t X = 0; X < B.Width; ++X) {
                COLORREF C = B.PixelColor(X, Y);
                Dst[X] = qRgb(GetRValue(C), GetGValue(C), GetBValue(C));
            }
        }
    }
    return Out;
}

// ---------------------------------------------------------------------------
// TImage

TImage::TImage(QWidget* Parent)
    : QWidget(Parent), FCanvas(std::make_unique<TCanvas>()),
      FPicture(std::make_unique<TPicture>()) {
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    FPicture->OnChange = [this](TObject*) {
        FDirty = true;
        update();
    };
    MakeSurface();
    LiveImages().insert(this);
}

TImage::~TImage() {
    LiveImages().erase(this);
    // The graphic goes first: it may have painters drawing on the canvas.
    FPicture.reset();
}

void TImage::setStretch(bool Value) {
    if (Value == FStretch) return;
    FStretch = Value;
    FDirty = true;
    update();
}

void TImage::MakeSurface() {
    auto S = std::make_shared<TBitmapObject>();
    S->Allocate(std::max(width(), 1), std::max(height(), 1), 32);
    S->DIB = false;
    FSurface = S;
    FCanvas->SetHandle(CreateDisplayDC(FSurface));
    FDirty = true;
}

void TImage::DrawGraphic() {
    // A hidden control learns its size only when shown; draw at the size it has now.
    if (FSurface->Width != std::max(width(), 1) || FSurface->Height != std::max(height(), 1))
        MakeSurface();
    FDirty = false;
    TRect Whole = Rect(0, 0, FSurface->Width, FSurface->Height);
    FCanvas->Brush().SetColor(clBtnFace);
    FCanvas->FillRect(Whole);
    TGraphic* G = FPicture->Graphic();
    if (!G || G->Empty()) return;
    if (FStretch)
        FCanvas->StretchDraw(Whole, G);
    else
        FCanvas->Draw(0, 0, G);
}

void TImage::Update() {
    DrawGraphic();
    repaint();
}

void TImage::Refresh() {
    update();
}

QImage TImage::Snapshot() const {
    return BitmapToQImage(*FSurface);
}

void TImage::paintEvent(QPaintEvent* Event) {
    if (FDirty) {
        // A paint cannot report a failure; the command that changed the picture (Update)
        // does, and here the control shows its background.
        try {
            DrawGraphic();
        } catch (const std::exception&) {
        }
    }
    QPainter P(this);
    P.drawImage(Event->rect().topLeft(), BitmapToQImage(*FSurface), Event->rect());
}

void TImage::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    if (Event->size() != Event->oldSize()) MakeSurface();
}

void RefreshImageControls() {
    for (TImage* I : LiveImages()) I->Refresh();
}

// ---------------------------------------------------------------------------
// TPanel, TBevel

TPanel::TPanel(QWidget* Parent) : QWidget(Parent) {
    setAutoFillBackground(false);
}

void TPanel::setBevelInner(int Value) {
    FBevelInner = Value;
    update();
}

void TPanel::setBevelOuter(int Value) {
    FBevelOuter = Value;
    update();
}

void TPanel::setBorderWidth(int Value) {
    FBorderWidth = std::max(Value, 0);
    update();
}

void TPanel::paintEvent(QPaintEvent*) {
    QPainter P(this);
    P.fillRect(rect(), ToQColor(clBtnFace));
    QRect R = rect();
    Bevel(P, R, FBevelOuter);
    R.adjust(FBorderWidth, FBorderWidth, -FBorderWidth, -FBorderWidth);
    Bevel(P, R, FBevelInner);
}

TBevel::TBevel(QWidget* Parent) : QWidget(Parent) {}

void TBevel::paintEvent(QPaintEvent*) {
    QPainter P(this);
    QRect R = rect();
    Bevel(P, R, bvLowered);
}

} // namespace mv

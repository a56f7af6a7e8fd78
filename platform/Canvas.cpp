// TCanvas and TBrush: drawing on a device context.
#include "platform/Graphics.h"

namespace mv {

void TBrush::Assign(TPersistent* Source) {
    if (auto* B = dynamic_cast<TBrush*>(Source)) {
        FColor = B->FColor;
        FStyle = B->FStyle;
        if (OnChange) OnChange(this);
        return;
    }
    TPersistent::Assign(Source);
}

void TBrush::SetColor(TColor Value) {
    if (Value == FColor && FStyle == bsSolid) return;
    FColor = Value;
    // Giving a clear brush a color makes it solid.
    if (FStyle == bsClear) FStyle = bsSolid;
    if (OnChange) OnChange(this);
}

void TBrush::SetStyle(TBrushStyle Value) {
    if (Value == FStyle) return;
    FStyle = Value;
    if (OnChange) OnChange(this);
}

TCanvas::TCanvas() = default;
TCanvas::~TCanvas() = default;

HDC TCanvas::Handle() {
    if (!FHandle) CreateHandle();
    RequireHandle();
    return FHandle;
}

void TCanvas::SetHandle(HDC Value) {
    if (Value == FHandle) return;
    FHandle = std::move(Value);
}

TRect TCanvas::ClipRect() {
    HDC DC = Handle();
    if (!DC || !DC->Bitmap) return TRect{};
    return TRect{0, 0, DC->Bitmap->Width, DC->Bitmap->Height};
}

void TCanvas::FillRect(const TRect& R) {
    if (FBrush.Style() == bsClear) return;
    HDC DC = Handle();
    if (!DC) return;
    Changing();
    FillRectColor(DC, R, static_cast<COLORREF>(ColorToRGB(FBrush.Color())));
    Changed();
}

void TCanvas::FrameRect(const TRect& R) {
    if (R.IsEmpty()) return;
    HDC DC = Handle();
    if (!DC) return;
    Changing();
    COLORREF C = static_cast<COLORREF>(ColorToRGB(FBrush.Color()));
    FillRectColor(DC, TRect{R.Left, R.Top, R.Right, R.Top + 1}, C);
    FillRectColor(DC, TRect{R.Left, R.Bottom - 1, R.Right, R.Bottom}, C);
    FillRectColor(DC, TRect{R.Left, R.Top, R.Left + 1, R.Bottom}, C);
    FillRectColor(DC, TRect{R.Right - 1, R.Top, R.Right, R.Bottom}, C);
    Changed();
}

void TCanvas::Draw(int32_t X, int32_t Y, TGraphic* Graphic) {
    if (!Graphic || Graphic->Empty()) return;
    Changing();
    Graphic->Draw(*this, Bounds(X, Y, Graphic->Width(), Graphic->Height()));
    Changed();
}

void TCanvas::StretchDraw(const TRect& R, TGraphic* Graphic) {
    if (!Graphic || Graphic->Empty()) return;
    Changing();
    Graphic->Draw(*this, R);
    Changed();
}

void TCanvas::CopyRect(const TRect& Dest, TCanvas& Canvas, const TRect& Source) {
    HDC Src = Canvas.Handle();
    HDC Dst = Handle();
    if (!Dst) return;
    Changing();
    StretchBlt(Dst, Dest.Left, Dest.Top, Dest.Width(), Dest.Height(), Src, Source.Left, Source.Top,
               Source.Width(), Source.Height(), FCopyMode);
    Changed();
}

TColor TCanvas::Pixels(int32_t X, int32_t Y) {
    HDC DC = Handle();
    COLORREF C = GetPixel(DC, X, Y);
    return C == CLR_INVALID ? -1 : static_cast<TColor>(C);
}

void TCanvas::SetPixels(int32_t X, int32_t Y, TColor Value) {
    HDC DC = Handle();
    if (!DC) return;
    Changing();
    SetPixel(DC, X, Y, static_cast<COLORREF>(ColorToRGB(Value)));
    Changed();
}

void TCanvas::Changing() {
    if (OnChanging) OnChanging(this);
}

void TCanvas::Changed() {
    if (OnChange) OnChange(this);
}

void TCanvas::Lock() {
    FLock.lock();
    ++FLockCount;
}

void TCanvas::Unlock() {
    --FLockCount;
    FLock.unlock();
}

bool TCanvas::TryLock() {
    if (!FLock.try_lock()) return false;
    ++FLockCount;
    return true;
}

} // namespace mv

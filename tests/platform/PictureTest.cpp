// The picture framework: loading by extension, the registries and the filter, the clipboard.
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace mv;

namespace {

// A graphic of the application's kind, for the registries.
class TTestGraphic : public TGraphic {
public:
    MV_GRAPHIC_CLASS(TTestGraphic)
    void Draw(TCanvas&, const TRect&) override {}
    bool GetEmpty() const override { return true; }
    int32_t GetWidth() const override { return 0; }
    int32_t GetHeight() const override { return 0; }
    void SetWidth(int32_t) override {}
    void SetHeight(int32_t) override {}
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) override {}
    void LoadFromClipboardFormat(uint32_t, THandle, HPALETTE) override {}
    void SaveToClipboardFormat(uint32_t&, THandle&, HPALETTE&) override {}
};
class TOtherGraphic : public TTestGraphic {
public:
    MV_GRAPHIC_CLASS(TOtherGraphic)
};

std::string TempName(const std::string& Name) {
    return testing::TempDir() + "/mv_picture_" + std::to_string(getpid()) + "_" + Name;
}

} // namespace

TEST(Picture, LoadsByExtensionAnyCase) {
    std::string File = TempName("X.BMP");
    {
        TBitmap B(3, 2, pf24bit);
        B.Canvas().Brush().SetColor(clBlue);
        B.Canvas().FillRect(Rect(0, 0, 3, 2));
        B.SaveToFile(File);
    }
    TPicture P;
    int Changes = 0;
    P.OnChange = [&](TObject*) { ++Changes; };
    P.LoadFromFile(File);
    ASSERT_NE(dynamic_cast<TBitmap*>(P.Graphic()), nullptr);
    EXPECT_EQ(P.Width(), 3);
    EXPECT_EQ(P.Height(), 2);
    EXPECT_EQ(static_cast<TBitmap*>(P.Graphic())->Canvas().Pixels(2, 1), clBlue);
    EXPECT_GT(Changes, 0);
    std::remove(File.c_str());
}

TEST(Picture, UnknownExtensionAndFailedLoadKeepThePicture) {
    TPicture P;
    P.TakeGraphic(std::make_unique<TBitmap>(4, 4, pf8bit));
    TGraphic* Before = P.Graphic();
    try {
        P.LoadFromFile("x.png");
        FAIL();
    } catch (const EInvalidGraphic& E) {
        EXPECT_STREQ(E.what(), "Unknown picture file extension (.png)");
    }
    EXPECT_EQ(P.Graphic(), Before);
    std::string Bad = TempName("bad.bmp");
    FILE* F = std::fopen(Bad.c_str(), "wb");
    std::fputs("BM this is no bitmap", F);
    std::fclose(F);
    EXPECT_THROW(P.LoadFromFile(Bad), EInvalidGraphic);
    EXPECT_EQ(P.Graphic(), Before);
    EXPECT_EQ(P.Width(), 4);
    std::remove(Bad.c_str());
    EXPECT_THROW(P.LoadFromFile(TempName("missing.bmp")), EFOpenError);
    EXPECT_EQ(P.Graphic(), Before);
}

TEST(Picture, BitmapReplacesAnotherGraphic) {
    TPicture P;
    P.TakeGraphic(std::make_unique<TTestGraphic>());
    TBitmap* B = P.Bitmap();
    ASSERT_NE(B, nullptr);
    EXPECT_EQ(P.Graphic(), B);
    EXPECT_TRUE(B->Empty());
    EXPECT_EQ(P.Bitmap(), B); // a bitmap stays
    // SetGraphic copies.
    TBitmap Src(2, 2, pf24bit);
    P.SetGraphic(&Src);
    EXPECT_NE(P.Graphic(), &Src);
    EXPECT_EQ(P.Width(), 2);
}

TEST(Picture, RegistryOrderAndDefaultFilter) {
    // The platform's formats keep their places whatever order they register in; what the
    // application registers comes after them. Slots another unit already filled stay.
    struct {
        TPlatformFormatSlot Slot;
        const char* Ext;
        const char* Desc;
    } Platform[] = {{fsIcon, "ico", "Icons"},
                    {fsMetafile, "wmf", "Metafiles"},
                    {fsEnhMetafile, "emf", "Enhanced Metafiles"}};
    TGraphicClass Stand = TOtherGraphic::ClassInfo();
    for (auto& F : Platform)
        if (!TPicture::FindExtension(F.Ext))
            TPicture::RegisterPlatformFileFormat(F.Slot, F.Ext, F.Desc, Stand);
    TGraphicClass App = TTestGraphic::ClassInfo();
    TPicture::RegisterFileFormat("GIF", "GIF Image", App);
    TPicture::RegisterFileFormat("jpeg", "JPEG Image File", App);
    TPicture::RegisterFileFormat("jpg", "JPEG Image File", App);
    EXPECT_EQ(
        GraphicFilter(TGraphic::ClassInfo()),
        "All (*.jpg;*.jpeg;*.gif;*.bmp;*.ico;*.emf;*.wmf)|*.jpg;*.jpeg;*.gif;*.bmp;*.ico;*.emf;"
        "*.wmf|JPEG Image File (*.jpg)|*.jpg|JPEG Image File (*.jpeg)|*.jpeg|GIF Image "
        "(*.gif)|*.gif|Bitmaps (*.bmp)|*.bmp|Icons (*.ico)|*.ico|Enhanced Metafiles "
        "(*.emf)|*.emf|Metafiles (*.wmf)|*.wmf");
    EXPECT_EQ(TPicture::FindExtension("GIF"), App);
    EXPECT_EQ(TPicture::FindExtension("bmp"), TBitmap::ClassInfo());
    EXPECT_EQ(GraphicFilter(TBitmap::ClassInfo()), "All (*.bmp)|*.bmp|Bitmaps (*.bmp)|*.bmp");
    EXPECT_EQ(GraphicExtension(TBitmap::ClassInfo()), "bmp");
    EXPECT_TRUE(TOtherGraphic::ClassInfo()->InheritsFrom(App));
    EXPECT_FALSE(App->InheritsFrom(TOtherGraphic::ClassInfo()));

    uint32_t Fmt = RegisterClipboardFormat("Test Image");
    TPicture::RegisterClipboardFormat(Fmt, App);
    EXPECT_TRUE(TPicture::SupportsClipboardFormat(Fmt));
    EXPECT_TRUE(TPicture::SupportsClipboardFormat(CF_BITMAP));
    TPicture::UnregisterGraphicClass(App);
    EXPECT_FALSE(TPicture::SupportsClipboardFormat(Fmt));
    EXPECT_EQ(TPicture::FindExtension("gif"), nullptr);
    TPicture::UnregisterGraphicClass(Stand);
    EXPECT_EQ(TPicture::FindExtension("bmp"), TBitmap::ClassInfo());
}

TEST(Clipboard, FormatsDataAndGlobalMemory) {
    uint32_t A = RegisterClipboardFormat("Morvellan Test Format");
    EXPECT_GE(A, 0xC000u);
    EXPECT_EQ(RegisterClipboardFormat("Morvellan Test Format"), A);
    EXPECT_NE(RegisterClipboardFormat("Morvellan Other Format"), A);
    EXPECT_EQ(GetClipboardFormatName(A), "Morvellan Test Format");
    EXPECT_EQ(RegisterClipboardFormat(""), 0u);

    HGLOBAL G = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 5);
    ASSERT_TRUE(G);
    EXPECT_EQ(GlobalSize(G), 5u);
    auto* P = static_cast<uint8_t*>(GlobalLock(G));
    ASSERT_NE(P, nullptr);
    EXPECT_EQ(P[4], 0);
    std::memcpy(P, "hello", 5);
    EXPECT_EQ(GlobalHandle(P), G);
    EXPECT_FALSE(GlobalUnlock(G)); // back to 0 locks
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    EXPECT_EQ(SetClipboardData(A, G), G);
    EXPECT_FALSE(SetClipboardData(A, nullptr));
    CloseClipboard();
    EXPECT_EQ(GlobalFree(G), nullptr);
    HGLOBAL Back = HandleCast<TGlobalMemory>(GetClipboardData(A));
    ASSERT_TRUE(Back); // the clipboard keeps the block
    EXPECT_EQ(std::memcmp(GlobalLock(Back), "hello", 5), 0);
    GlobalUnlock(Back);
    EXPECT_FALSE(GetClipboardData(A + 1000));
    EXPECT_FALSE(GlobalAlloc(0, size_t(1) << 62));
}

TEST(Clipboard, BitmapRoundTrip) {
    TBitmap B(3, 3, pf8bit);
    B.Canvas().Brush().SetColor(clYellow);
    B.Canvas().FillRect(Rect(0, 0, 2, 2));
    uint32_t Format = 0;
    THandle Data;
    HPALETTE Pal;
    B.SaveToClipboardFormat(Format, Data, Pal);
    EXPECT_EQ(Format, CF_BITMAP);
    ASSERT_TRUE(HandleCast<TBitmapObject>(Data));
    TPicture P;
    P.LoadFromClipboardFormat(Format, Data, Pal);
    auto* C = dynamic_cast<TBitmap*>(P.Graphic());
    ASSERT_NE(C, nullptr);
    EXPECT_EQ(C->PixelFormat(), pf8bit);
    EXPECT_EQ(C->Canvas().Pixels(1, 1), clYellow);
    EXPECT_EQ(C->Canvas().Pixels(2, 2), clBlack);
    EXPECT_THROW(P.LoadFromClipboardFormat(0xBEEF, Data, Pal), EInvalidGraphic);
}

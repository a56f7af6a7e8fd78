// TMetafile as a platform graphic: loading, sizes, drawing onto bitmaps, registration.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "platform/Graphics.h"
#include "platform/Metafile.h"
#include "tests/platform/MetafileBuilder.h"

namespace mv {
namespace {

using testing::TEmfBuilder;
using testing::TWmfBuilder;

constexpr uint32_t kRed = 0x0000FF; // color references, as TColor

std::vector<uint8_t> SealEmf() {
    TEmfBuilder B(240, 240);
    B.Pen(1, 20, kRed).Select(1).Select(0x80000005).Ellipse(20, 20, 220, 220);
    B.Brush(2, 0, kRed).Select(2).Select(0x80000008);
    B.Points(3, {{120, 60}, {155, 170}, {62, 102}, {178, 102}, {85, 170}});
    return B.Finish();
}

std::unique_ptr<TMetafile> Load(const std::vector<uint8_t>& Bytes) {
    TMemoryStream S;
    S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    auto M = std::make_unique<TMetafile>();
    M->LoadFromStream(S);
    return M;
}

void Fill(TBitmap& B, TColor C) {
    B.Canvas().Brush().SetColor(C);
    B.Canvas().FillRect(Rect(0, 0, B.Width(), B.Height()));
}

TEST(TMetafile, LoadsSizesAndSavesTheBytesAsRead) {
    TMetafile M;
    EXPECT_TRUE(M.Empty());
    EXPECT_EQ(M.ClassName(), "TMetafile");
    auto Bytes = SealEmf();
    Bytes.push_back(0xAB); // bytes after the picture are kept too
    TMemoryStream S;
    S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    M.LoadFromStream(S);
    EXPECT_FALSE(M.Empty());
    EXPECT_TRUE(M.Enhanced());
    EXPECT_EQ(M.Width(), 240);
    EXPECT_EQ(M.Height(), 240);
    EXPECT_EQ(M.MMWidth(), 6350);
    TMemoryStream Out;
    M.SaveToStream(Out);
    EXPECT_EQ(Out.Bytes(), Bytes);

    auto W = TWmfBuilder(2880, 1440, 1440).Finish();
    auto P = Load(W);
    EXPECT_FALSE(P->Enhanced());
    EXPECT_EQ(P->Width(), 192);
    EXPECT_EQ(P->Height(), 96);
}

TEST(TMetafile, DamagedStreamRaisesAndKeepsTheOldPicture) {
    auto Owned = Load(SealEmf());
    TMetafile& M = *Owned;
    auto Bad = SealEmf();
    Bad.resize(Bad.size() - 12);
    TMemoryStream S;
    S.WriteBuffer(Bad.data(), static_cast<int64_t>(Bad.size()));
    S.SetPosition(0);
    EXPECT_THROW(M.LoadFromStream(S), EInvalidGraphic);
    EXPECT_EQ(M.Width(), 240);
    TMemoryStream Empty;
    EXPECT_THROW(M.LoadFromStream(Empty), EInvalidGraphic);
}

TEST(TMetafile, DrawsAtItsOwnSizeAndIntoAnyRectangle) {
    auto Owned = Load(SealEmf());
    TMetafile& M = *Owned;
    for (TPixelFormat F : {pf24bit, pf32bit, pf8bit}) {
        TBitmap B(240, 240, F);
        Fill(B, clWhite);
        B.Canvas().Draw(0, 0, &M);
        EXPECT_EQ(B.Canvas().Pixels(0, 0), clWhite) << int(F);
        EXPECT_EQ(B.Canvas().Pixels(20, 120), TColor(kRed)) << int(F);  // ring, left side
        EXPECT_EQ(B.Canvas().Pixels(120, 100), TColor(kRed)) << int(F); // star
        EXPECT_EQ(B.Canvas().Pixels(120, 40), clWhite) << int(F);       // between them
    }
    // Half size in the lower right quarter: nothing outside the rectangle changes.
    TBitmap B(240, 240, pf24bit);
    Fill(B, clWhite);
    B.Canvas().StretchDraw(Rect(120, 120, 240, 240), &M);
    int Outside = 0, Red = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 240; ++x) {
            TColor C = B.Canvas().Pixels(x, y);
            if (x < 120 || y < 120) Outside += C != clWhite;
            Red += C == TColor(kRed);
        }
    EXPECT_EQ(Outside, 0);
    EXPECT_EQ(B.Canvas().Pixels(130, 180), TColor(kRed));
    EXPECT_GT(Red, 2000);
}

TEST(TMetafile, OverWhiteAndBlackTheDifferenceIsTheMask) {
    auto Owned = Load(SealEmf());
    TMetafile& M = *Owned;
    TBitmap W(240, 240, pf24bit), K(240, 240, pf24bit);
    Fill(W, clWhite);
    Fill(K, clBlack);
    W.Canvas().Draw(0, 0, &M);
    K.Canvas().Draw(0, 0, &M);
    W.Canvas().SetCopyMode(cmSrcInvert);
    W.Canvas().CopyRect(Rect(0, 0, 240, 240), K.Canvas(), Rect(0, 0, 240, 240));
    int Set = 0, Clear = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 240; ++x) {
            TColor C = W.Canvas().Pixels(x, y);
            ASSERT_TRUE(C == clWhite || C == clBlack) << x << "," << y;
            (C == clWhite ? Set : Clear)++;
        }
    EXPECT_EQ(W.Canvas().Pixels(0, 0), clWhite);    // not drawn: set
    EXPECT_EQ(W.Canvas().Pixels(20, 120), clBlack); // drawn: clear
    EXPECT_GT(Clear, 15000);
    EXPECT_GT(Set, 20000);
}

TEST(TMetafile, AssignmentRules) {
    auto Owned = Load(SealEmf());
    TMetafile& M = *Owned;
    TBitmap B;
    try {
        B.Assign(&M);
        ADD_FAILURE() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TMetafile to a TBitmap");
    }
    TMetafile Copy;
    Copy.Assign(&M);
    EXPECT_EQ(Copy.Data(), M.Data());
    EXPECT_EQ(Copy.Width(), 240);
    Copy.Assign(nullptr);
    EXPECT_TRUE(Copy.Empty());
}

TEST(TMetafile, RegisteredForWmfAndEmfBeforeBitmaps) {
    EXPECT_EQ(TPicture::FindExtension("emf"), TMetafile::ClassInfo());
    EXPECT_EQ(TPicture::FindExtension("WMF"), TMetafile::ClassInfo());
    auto Formats = TPicture::FileFormats(); // most recent first
    auto Index = [&](const char* Ext) {
        for (size_t i = 0; i < Formats.size(); ++i)
            if (Formats[i].Extension == Ext) return static_cast<int>(i);
        return -1;
    };
    ASSERT_GE(Index("wmf"), 0);
    ASSERT_GE(Index("emf"), 0);
    EXPECT_EQ(Formats[Index("wmf")].Description, "Metafiles");
    EXPECT_EQ(Formats[Index("emf")].Description, "Enhanced Metafiles");
    EXPECT_GT(Index("wmf"), Index("emf"));
    if (Index("bmp") >= 0) {
        EXPECT_GT(Index("emf"), Index("bmp"));
    }

    // Opening by extension picks TMetafile.
    std::string Name = ::testing::TempDir() + "seal" + std::to_string(getpid()) + ".wmf";
    auto Bytes = TWmfBuilder().Rec(0x020C, {200, 300}).Rec(0x0418, {150, 250, 50, 50}).Finish();
    {
        TMemoryStream S;
        S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
        S.SaveToFile(Name);
    }
    TPicture P;
    P.LoadFromFile(Name);
    std::remove(Name.c_str());
    ASSERT_NE(P.Graphic(), nullptr);
    EXPECT_EQ(P.Graphic()->ClassName(), "TMetafile");
    EXPECT_EQ(P.Width(), 300);
    EXPECT_EQ(P.Height(), 200);
}

} // namespace
} // namespace mv

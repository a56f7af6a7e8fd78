// The open command: the chosen picture in the preview, its file name in the seal-number field,
// and what a picture that cannot be opened leaves behind.
#include "tests/app/WindowTestUtil.h"

#include "gif/GIFExtensions.h"
#include "platform/Jpeg.h"

#include <QCoreApplication>

#include <chrono>
#include <cstring>

namespace mv::testing {
namespace {

TEST_F(WindowTest, OpenPutsTheNameIntoTheFieldAndStretchesThePictureOverThePreview) {
    // Left half black, right half white: stretched, each half fills its half of 413 x 400.
    WriteBitmapFile(Path("A001.bmp"), 40, 10, [](int X, int) { return X < 20 ? 0u : 0xFFFFFFu; });
    Open(Path("A001.bmp"));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->EditText(), "A001.bmp");
    ASSERT_NE(Form->Image1->Picture().Graphic(), nullptr);
    EXPECT_EQ(Form->Image1->Picture().Graphic()->ClassName(), "TBitmap");
    QImage Shown = Form->Image1->Snapshot();
    ASSERT_EQ(Shown.size(), QSize(413, 400));
    for (QPoint P : {QPoint(0, 0), QPoint(200, 399), QPoint(100, 200)})
        EXPECT_EQ(Shown.pixel(P), qRgb(0, 0, 0)) << P.x() << "," << P.y();
    for (QPoint P : {QPoint(412, 0), QPoint(210, 399), QPoint(300, 200)})
        EXPECT_EQ(Shown.pixel(P), qRgb(255, 255, 255)) << P.x() << "," << P.y();
}

TEST_F(WindowTest, OpenTakesAJpegSeal) {
    const std::string Seal = std::string(MORVELLAN_SOURCE_DIR) + "/samples/seal.jpg";
    std::filesystem::copy_file(Seal, Path("A001.jpg"));
    Open(Path("A001.jpg"));
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(Form->EditText(), "A001.jpg");
    ASSERT_NE(Form->Image1->Picture().Graphic(), nullptr);
    EXPECT_EQ(Form->Image1->Picture().Graphic()->ClassName(), "TJPEGImage");
    // The seal's ring is red somewhere in the preview.
    QImage Shown = Form->Image1->Snapshot();
    bool Red = false;
    for (int Y = 0; Y < Shown.height() && !Red; ++Y)
        for (int X = 0; X < Shown.width() && !Red; ++X) {
            QColor C = Shown.pixelColor(X, Y);
            Red = C.red() > 150 && C.green() < 90 && C.blue() < 90;
        }
    EXPECT_TRUE(Red);
}

TEST_F(WindowTest, AnExtensionInCapitalsOpensAsGIF) {
    std::filesystem::copy_file(GIFFixture("giflib_8bit_157x93.gif"), Path("SEAL.GIF"));
    Open(Path("SEAL.GIF"));
    EXPECT_EQ(Form->EditText(), "SEAL.GIF");
    TGraphic* G = Form->Image1->Picture().Graphic();
    ASSERT_NE(G, nullptr);
    EXPECT_EQ(G->ClassName(), "TGIFImage");
    EXPECT_EQ(G->Width(), 157);
    EXPECT_EQ(G->Height(), 93);
}

TEST_F(WindowTest, APictureThatFailsToOpenLeavesTheFieldAndThePreviewAsTheyWere) {
    WritePlainBitmap(Path("first.bmp"), 8, 8);
    Open(Path("first.bmp"));
    TGraphic* Before = Form->Image1->Picture().Graphic();
    ASSERT_NE(Before, nullptr);

    struct TCase {
        const char* File;
        const char* Bytes;
        const char* Message; // the box's text starts with this
    };
    const TCase Cases[] = {
        {"next.png", "\x89PNG", "Unknown picture file extension (.png)"},
        {"broken.bmp", "BM not really", ""},
        {"broken.gif", "GIF89a\x01", ""},
        {"missing.jpg", nullptr, ""},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.File);
        if (C.Bytes) {
            TMemoryStream S;
            S.WriteBuffer(C.Bytes, static_cast<int64_t>(std::strlen(C.Bytes)));
            S.SaveToFile(Path(C.File));
        }
        Boxes.clear();
        Open(Path(C.File));
        // The exception ended the command and was shown; the window goes on.
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text.rfind(C.Message, 0), 0u) << Boxes[0].Text;
        EXPECT_EQ(Boxes[0].Flags, MB_OK | MB_ICONHAND);
        EXPECT_EQ(Form->EditText(), "first.bmp");
        EXPECT_EQ(Form->Image1->Picture().Graphic(), Before);
    }
    EXPECT_EQ(Boxes.back().Caption, Application->Title);
    // The unknown extension's message is shown exactly, with no full stop added after ')'.
    Boxes.clear();
    Open(Path("next.png"));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Unknown picture file extension (.png)");
}

TEST_F(WindowTest, TheOpenDialogListsEveryPictureFormatAndCancellingDoesNothing) {
    Form->SetEditText("kept");
    Open(std::nullopt);
    ASSERT_EQ(Dialogs.size(), 1u);
    EXPECT_EQ(Dialogs[0].Kind, TFileDialogKind::Open);
    EXPECT_EQ(Dialogs[0].Filter,
              "All (*.jpg;*.jpeg;*.gif;*.bmp;*.ico;*.emf;*.wmf)|"
              "*.jpg;*.jpeg;*.gif;*.bmp;*.ico;*.emf;*.wmf|"
              "JPEG Image File (*.jpg)|*.jpg|JPEG Image File (*.jpeg)|*.jpeg|"
              "GIF Image (*.gif)|*.gif|Bitmaps (*.bmp)|*.bmp|Icons (*.ico)|*.ico|"
              "Enhanced Metafiles (*.emf)|*.emf|Metafiles (*.wmf)|*.wmf");
    EXPECT_EQ(Form->EditText(), "kept");
    EXPECT_EQ(Form->Image1->Picture().Graphic(), nullptr);
    EXPECT_TRUE(Boxes.empty());
}

TEST(DialogFilter, PlatformFiltersBecomeQtNameFilters) {
    EXPECT_EQ(QtNameFilters("All (*.gif)|*.gif"), (std::vector<std::string>{"All (*.gif)"}));
    // The label's parentheses need not match the pattern; Qt filters by what is inside them.
    EXPECT_EQ(QtNameFilters("All (*.gif)|*.jpg;*.bmp|Bitmaps|*.bmp"),
              (std::vector<std::string>{"All (*.jpg *.bmp)", "Bitmaps (*.bmp)"}));
    EXPECT_TRUE(QtNameFilters("").empty());
}

// An animated GIF plays in the preview: the painter's thread hands its frames to the window's
// event loop, and the control shows each one.
TEST_F(WindowTest, AnOpenedAnimationPlaysInThePreview) {
    {
        TGIFImage G;
        G.SetWidth(4);
        G.SetHeight(4);
        G.ScreenColorMap().Append(0x0000FF); // red
        G.ScreenColorMap().Append(0xFF0000); // blue
        for (uint8_t Index : {0, 1}) {
            auto F = std::make_unique<TGIFSubImage>(&G);
            F->Place(0, 0, 4, 4);
            std::memset(F->IndexData(), Index, 16);
            if (Index == 0) {
                auto Loop = std::make_unique<TGIFAppExtNSLoop>(F.get());
                Loop->FLoopCount = 0; // endless
                F->ExtensionList().Append(std::move(Loop));
            }
            auto Control = std::make_unique<TGIFGraphicControlExtension>(F.get());
            Control->SetDelayHundredths(3);
            F->ExtensionList().Append(std::move(Control));
            G.AddFrame(std::move(F));
        }
        G.SaveToFile(Path("anim.gif"));
    }
    Form->show(); // a hidden control does not repaint
    Open(Path("anim.gif"));
    ASSERT_TRUE(Boxes.empty());
    bool SawRed = false, SawBlue = false;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(SawRed && SawBlue) && std::chrono::steady_clock::now() < Deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const QRgb Center = Form->Image1->Snapshot().pixel(200, 200);
        SawRed |= Center == qRgb(255, 0, 0);
        SawBlue |= Center == qRgb(0, 0, 255);
    }
    EXPECT_TRUE(SawRed);
    EXPECT_TRUE(SawBlue);
}

} // namespace
} // namespace mv::testing

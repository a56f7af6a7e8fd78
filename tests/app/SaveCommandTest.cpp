// The save-as-GIF command: the proposed and the written names, the size rule, the GIF written,
// and the cases where nothing may be written.
#include "tests/app/WindowTestUtil.h"

#include "platform/MetafileBuilder.h"
#include "platform/SysUtils.h"

#include <QCheckBox>

#include <csignal>
#include <sys/resource.h>

namespace mv::testing {
namespace {

void ExpectSuccessBox(const std::vector<TShownBox>& Boxes) {
    ASSERT_FALSE(Boxes.empty());
    EXPECT_EQ(Boxes.back().Text, "已成功将印章图像保存！");
    EXPECT_EQ(Boxes.back().Caption, "警告");
    EXPECT_EQ(Boxes.back().Flags, 48u);
}

// Logical screen width and height of a GIF file.
std::pair<int, int> GIFScreenSize(const std::vector<uint8_t>& B) {
    if (B.size() < 10) return {-1, -1};
    return {B[6] | (B[7] << 8), B[8] | (B[9] << 8)};
}

TEST(ScaledHeight, IsTheTruncatedProportionalHeight) {
    struct TCase {
        int32_t W, H, Expected;
    };
    for (TCase C : {TCase{700, 500, 457},
                    {500, 800, 1024},
                    {1000, 1999, 1279},
                    {640, 640, 640},
                    {700, 1, 1},
                    {5000000, 700, 1},
                    {700, 4000000, 3657142}})
        EXPECT_EQ(ScaledHeight(C.W, C.H, 640), C.Expected) << C.W << " x " << C.H;
    EXPECT_THROW(ScaledHeight(0, 900, 640), EInvalidGraphic);
}

TEST(ResizeBitmapStream, StretchesWithoutAveragingIntoTheHalftonePalette) {
    // 4 x 2: columns red, green, blue, a gray that is no halftone color.
    TBitmap Source(4, 2, pf24bit);
    const uint32_t Colors[4] = {0x0000FF, 0x00FF00, 0xFF0000, 0x7A7A7A};
    for (int Y = 0; Y < 2; ++Y)
        for (int X = 0; X < 4; ++X) Source.Canvas().SetPixels(X, Y, static_cast<TColor>(Colors[X]));
    TMemoryStream In, Out;
    Source.SaveToStream(In);
    In.SetPosition(0);
    ResizeBitmapStream(In, Out, 8, 3);
    Out.SetPosition(0);
    TBitmap Result;
    Result.LoadFromStream(Out);
    ASSERT_EQ(Result.Width(), 8);
    ASSERT_EQ(Result.Height(), 3);
    EXPECT_EQ(Result.PixelFormat(), pf8bit);
    HPALETTE Halftone = CreateHalftonePalette(nullptr);
    EXPECT_EQ(PaletteToColorTable(Result.Palette()), PaletteToColorTable(Halftone));
    for (int Y = 0; Y < 3; ++Y)
        for (int X = 0; X < 8; ++X) {
            // Each source column is repeated twice; the gray maps to its nearest entry.
            uint32_t C = Colors[X / 2];
            uint32_t Index = GetNearestPaletteIndex(Halftone, C);
            EXPECT_EQ(static_cast<uint8_t*>(Result.ScanLine(Y))[X], Index) << X << "," << Y;
        }
}

TEST_F(WindowTest, SizeRuleThroughTheWindow) {
    struct TCase {
        int W, H;
        bool Ticked;
        int ExpectW, ExpectH;
        bool Scaled;
    };
    const TCase Cases[] = {
        {700, 500, true, 640, 457, true},       {699, 699, true, 699, 699, false},
        {500, 800, true, 640, 1024, true},      {1000, 1999, true, 640, 1279, true},
        {2000, 2000, false, 2000, 2000, false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(std::to_string(C.W) + " x " + std::to_string(C.H));
        const std::string Name = "p" + std::to_string(C.W) + "x" + std::to_string(C.H);
        WritePlainBitmap(Path(Name + ".bmp"), C.W, C.H);
        Open(Path(Name + ".bmp"));
        TGraphic* Opened = Form->Image1->Picture().Graphic();
        Form->CheckBox1->setChecked(C.Ticked);
        Boxes.clear();
        Save(Path(Name + ".gif"));
        TGraphic* Now = Form->Image1->Picture().Graphic();
        ASSERT_NE(Now, nullptr);
        EXPECT_EQ(Now->Width(), C.ExpectW);
        EXPECT_EQ(Now->Height(), C.ExpectH);
        if (C.Scaled) {
            ASSERT_EQ(Now->ClassName(), "TBitmap");
            EXPECT_EQ(static_cast<TBitmap*>(Now)->PixelFormat(), pf8bit);
        } else {
            EXPECT_EQ(Now, Opened);
        }
        ExpectSuccessBox(Boxes);
        EXPECT_EQ(GIFScreenSize(ReadFileBytes(Path(Name + ".gif"))),
                  std::make_pair(C.ExpectW, C.ExpectH));
        std::filesystem::remove(Path(Name + ".bmp"));
        std::filesystem::remove(Path(Name + ".gif"));
    }
    EXPECT_TRUE(FilesInDir().empty());
}

TEST_F(WindowTest, TheProposedNameIsTheFieldWithTheGIFExtension) {
    WritePlainBitmap(Path("small.bmp"), 4, 4);
    Open(Path("small.bmp"));
    const std::pair<const char*, const char*> Cases[] = {
        {"seal.jpg", "seal.gif"}, {"A001", "A001.gif"}, {"a.b.c", "a.b.gif"}, {" x1 ", " x1 .gif"}};
    for (auto [Field, Proposed] : Cases) {
        Dialogs.clear();
        Form->SetEditText(Field);
        Save(std::nullopt); // cancelled: nothing else happens
        ASSERT_EQ(Dialogs.size(), 1u);
        EXPECT_EQ(Dialogs[0].Kind, TFileDialogKind::Save);
        EXPECT_EQ(Dialogs[0].FileName, Proposed);
        EXPECT_EQ(Dialogs[0].Filter, "All (*.gif)|*.gif");
        // The dialog keeps the proposed name.
        EXPECT_EQ(Form->SavePictureDialog1->FileName, Proposed);
    }
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(FilesInDir(), std::vector<std::string>{"small.bmp"});
}

TEST_F(WindowTest, WhateverNameIsTypedTheFileWrittenIsAGIF) {
    std::filesystem::copy_file(GIFFixture("giflib_8bit_157x93.gif"), Path("seal.gif"));
    Open(Path("seal.gif"));
    for (const char* Typed : {"out.bmp", "plain"}) {
        Boxes.clear();
        Save(Path(Typed));
        ExpectSuccessBox(Boxes);
        EXPECT_EQ(Boxes.size(), 1u);
    }
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"out.gif", "plain.gif", "seal.gif"}));
    TGIFImage Written;
    Written.LoadFromFile(Path("out.gif"));
    EXPECT_EQ(Written.Width(), 157);
    EXPECT_EQ(Written.Height(), 93);
    EXPECT_EQ(ReadFileBytes(Path("out.gif")), ReadFileBytes(Path("plain.gif")));
}

TEST_F(WindowTest, AFieldOfBlanksDoesNothing) {
    WritePlainBitmap(Path("small.bmp"), 4, 4);
    Open(Path("small.bmp"));
    Dialogs.clear();
    for (const char* Field : {"", "   ", " \t "}) {
        Form->SetEditText(Field);
        Save(Path("x.gif"));
        DialogAnswers.clear();
    }
    EXPECT_TRUE(Dialogs.empty());
    EXPECT_TRUE(Boxes.empty());
    EXPECT_EQ(FilesInDir(), std::vector<std::string>{"small.bmp"});
}

TEST_F(WindowTest, SavingBeforeAnyPictureIsOpenedSaysSoAndWritesNothing) {
    Form->SetEditText("seal");
    for (bool Ticked : {true, false}) {
        Form->CheckBox1->setChecked(Ticked);
        Boxes.clear();
        Save(Path("seal.gif"));
        DialogAnswers.clear();
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Text, "请先打开印章图像。");
        EXPECT_EQ(Boxes[0].Caption, "警告");
        EXPECT_EQ(Boxes[0].Flags, MB_OK | MB_ICONEXCLAMATION);
    }
    EXPECT_TRUE(Dialogs.empty());
    EXPECT_TRUE(FilesInDir().empty());
}

TEST_F(WindowTest, AnExistingGIFIsReplacedOnlyWhenTheUserAgrees) {
    // A large picture: answering no must also leave the preview unscaled.
    std::filesystem::copy_file(GIFFixture("giflib_8bit_600x400.gif"), Path("big.gif"));
    Open(Path("big.gif"));
    TGraphic* Opened = Form->Image1->Picture().Graphic();
    Boxes.clear();
    const std::string Target = Path("out.gif");
    {
        TMemoryStream Old;
        Old.WriteBuffer("old", 3);
        Old.SaveToFile(Target);
    }
    BoxAnswers = {IDNO};
    Save(Path("out.bmp")); // the name really written is out.gif, which exists
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, Target + " 已存在。\n要替换它吗？");
    EXPECT_EQ(Boxes[0].Flags, MB_YESNO | MB_ICONEXCLAMATION);
    EXPECT_EQ(ReadFileBytes(Target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(Form->Image1->Picture().Graphic(), Opened);

    Boxes.clear();
    BoxAnswers = {IDYES};
    Save(Target);
    ASSERT_EQ(Boxes.size(), 2u);
    ExpectSuccessBox(Boxes);
    EXPECT_EQ(GIFScreenSize(ReadFileBytes(Target)), std::make_pair(600, 400));
}

TEST_F(WindowTest, AFailedWriteKeepsTheOldFileAndLeavesNoPartialOne) {
    std::filesystem::copy_file(GIFFixture("giflib_8bit_600x400.gif"), Path("big.gif"));
    Open(Path("big.gif"));
    Boxes.clear();
    const std::string Target = Path("out.gif");
    {
        TMemoryStream Old;
        Old.WriteBuffer("old", 3);
        Old.SaveToFile(Target);
    }
    // Files of this process may grow to 4 KiB only: the 55 KiB GIF fails half-way.
    struct rlimit Saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &Saved), 0);
    auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit Small = Saved;
    Small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &Small), 0);
    BoxAnswers = {IDYES};
    Save(Target);
    setrlimit(RLIMIT_FSIZE, &Saved);
    std::signal(SIGXFSZ, OldHandler);

    ASSERT_EQ(Boxes.size(), 2u); // replace? then the write error
    EXPECT_EQ(Boxes[1].Flags, MB_OK | MB_ICONHAND);
    EXPECT_NE(Boxes[1].Text, "已成功将印章图像保存！");
    EXPECT_EQ(ReadFileBytes(Target), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"big.gif", "out.gif"}));

    // Into a folder that does not exist: an error, and nothing anywhere.
    Boxes.clear();
    Save(Path("nowhere/seal.gif"));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Flags, MB_OK | MB_ICONHAND);
    EXPECT_EQ(FilesInDir(), (std::vector<std::string>{"big.gif", "out.gif"}));
}

TEST_F(WindowTest, AnAnimationSavedWithTheBoxClearedStaysAnimated) {
    std::filesystem::copy_file(GIFFixture("giflib_two_frames.gif"), Path("anim.gif"));
    Open(Path("anim.gif"));
    Boxes.clear();
    Form->CheckBox1->setChecked(false);
    Save(Path("copy.gif"));
    ExpectSuccessBox(Boxes);
    TGIFImage Original, Copy;
    Original.LoadFromFile(Path("anim.gif"));
    Copy.LoadFromFile(Path("copy.gif"));
    ASSERT_EQ(Original.Frames().Count(), 2);
    EXPECT_EQ(Copy.Frames().Count(), 2);
    for (int i = 0; i < 2; ++i) {
        TGIFSubImage* A = Original.Frames().FrameAt(i);
        TGIFSubImage* B = Copy.Frames().FrameAt(i);
        ASSERT_EQ(A->IndexSize(), B->IndexSize());
        A->EnsurePixels();
        B->EnsurePixels();
        EXPECT_EQ(std::memcmp(A->IndexData(), B->IndexData(), static_cast<size_t>(A->IndexSize())),
                  0);
    }
}

TEST_F(WindowTest, AWideMetafileWithTheBoxTickedFailsAndWritesNothing) {
    // A placeable metafile of 800 x 600 pixels at 96 units per inch.
    TWmfBuilder Wmf(800, 600, 96);
    std::vector<uint8_t> Bytes = Wmf.Finish();
    {
        TMemoryStream S;
        S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
        S.SaveToFile(Path("seal.wmf"));
    }
    Open(Path("seal.wmf"));
    TGraphic* Opened = Form->Image1->Picture().Graphic();
    ASSERT_NE(Opened, nullptr);
    ASSERT_EQ(Opened->ClassName(), "TMetafile");
    ASSERT_GE(Opened->Width(), 700);
    Boxes.clear();
    Save(Path("seal.gif"));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Cannot assign a TMetafile to a TBitmap.");
    EXPECT_EQ(Form->Image1->Picture().Graphic(), Opened);
    EXPECT_EQ(FilesInDir(), std::vector<std::string>{"seal.wmf"});
}

TEST_F(WindowTest, A24BitPictureIsWrittenWithTheColorCube) {
    // 300 x 200 in cube colors only, so every pixel's index is known.
    auto Cube = [](int X, int Y) {
        int R = X % 6, G = Y % 6, B = (X / 6 + Y) % 6;
        return static_cast<uint32_t>((51 * R) << 16 | (51 * G) << 8 | (51 * B));
    };
    WriteBitmapFile(Path("p.bmp"), 300, 200, Cube);
    Open(Path("p.bmp"));
    Form->CheckBox1->setChecked(false);
    Save(Path("p.gif"));
    ExpectSuccessBox(Boxes);
    std::vector<uint8_t> F = ReadFileBytes(Path("p.gif"));
    const std::vector<uint8_t> Head = {0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x2C, 0x01,
                                       0xC8, 0x00, 0x77, 0x00, 0x00, 0x2C, 0x00, 0x00,
                                       0x00, 0x00, 0x2C, 0x01, 0xC8, 0x00, 0x87};
    ASSERT_GT(F.size(), Head.size() + 768 + 3);
    EXPECT_EQ(std::vector<uint8_t>(F.begin(), F.begin() + Head.size()), Head);
    std::vector<uint8_t> Table;
    for (int i = 0; i < 216; ++i)
        Table.insert(Table.end(),
                     {static_cast<uint8_t>(51 * (i / 36)), static_cast<uint8_t>(51 * (i / 6 % 6)),
                      static_cast<uint8_t>(51 * (i % 6))});
    Table.resize(768, 0);
    const size_t At = Head.size();
    EXPECT_EQ(std::vector<uint8_t>(F.begin() + At, F.begin() + At + 768), Table);
    EXPECT_EQ(F[At + 768], 0x08);
    // Data sub-blocks, the terminator, the trailer, nothing after.
    size_t P = At + 769;
    while (P < F.size() && F[P] != 0) P += 1 + F[P];
    ASSERT_LT(P + 1, F.size());
    EXPECT_EQ(P + 2, F.size());
    EXPECT_EQ(F.back(), 0x3B);
    // Each pixel is its color's cube index.
    TGIFImage G;
    G.LoadFromFile(Path("p.gif"));
    TGIFSubImage* Frame = G.Frames().FrameAt(0);
    Frame->EnsurePixels();
    for (int Y = 0; Y < 200; ++Y)
        for (int X = 0; X < 300; ++X) {
            uint32_t C = Cube(X, Y);
            int Index = (C >> 16) / 51 * 36 + ((C >> 8) & 0xFF) / 51 * 6 + (C & 0xFF) / 51;
            ASSERT_EQ(Frame->IndexData()[Y * 300 + X], Index) << X << "," << Y;
        }
}

} // namespace
} // namespace mv::testing

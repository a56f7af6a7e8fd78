// morvellan-cli run as a process: its commands, messages, exit statuses and the files it
// writes, on pictures made in a temporary directory or kept in the repository.
#include "cli/CliTestUtil.h"

#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"
#include "gif/color/SaveConversion.h"
#include "platform/Classes.h"
#include "platform/Graphics.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

namespace mv::clitest {
namespace {

const std::string Seal = std::string(MORVELLAN_SOURCE_DIR) + "/samples/seal.jpg";
const std::string GifData = std::string(MORVELLAN_TEST_DATA) + "/giflib/";
const std::string TwoFrames = GifData + "giflib_two_frames.gif";

// The cube color (51 r, 51 g, 51 b) of index r x 36 + g x 6 + b, as 0xRRGGBB.
uint32_t CubeColor(int Index) {
    return uint32_t(51 * (Index / 36)) << 16 | uint32_t(51 * (Index / 6 % 6)) << 8 |
           uint32_t(51 * (Index % 6));
}

// A small GIF89a written by hand: a 2 x 2 frame of indices 0 1 / 1 0 over a 2-color global
// table, background 1, looping 5 times, a comment "hello", and a graphic control block with
// disposal 2 (restore background), a delay of 25/100 s and transparent index 1. The LZW
// codes (3 bits wide) are clear 0 1 clear 1 0 end, so the table never grows.
const TBytes HandGIF = {
    'G',  'I',  'F',  '8',  '9',  'a',  2,   0,   2,   0,   0x80, 1,   0,        // header, screen
    0,    0,    0,    0xFF, 0xFF, 0xFF,                                          // global table
    0x21, 0xFF, 11,   'N',  'E',  'T',  'S', 'C', 'A', 'P', 'E',  '2', '.', '0', // loop
    3,    1,    5,    0,    0,                                                   //
    0x21, 0xFE, 5,    'h',  'e',  'l',  'l', 'o', 0,                             // comment
    0x21, 0xF9, 4,    0x09, 25,   0,    1,   0,                                  // graphic control
    0x2C, 0,    0,    0,    0,    2,    0,   2,   0,   0,                        // image descriptor
    2,    3,    0x44, 0x18, 0x14, 0,                                             // pixels
    0x3B};

class Cli : public testing::Test {
protected:
    void SetUp() override {
        std::string Pattern = (std::filesystem::temp_directory_path() / "cli_tests.XXXXXX");
        ASSERT_NE(mkdtemp(Pattern.data()), nullptr);
        Dir = Pattern;
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    TRun Run(const std::vector<std::string>& Args) { return RunCli(Args, Scratch()); }
    std::string In(const std::string& Name) const { return Dir + "/" + Name; }
    // Captured output lives beside the test's directory, so that listing it shows only what
    // the program wrote.
    std::string Scratch() {
        if (ScratchDir.empty()) {
            ScratchDir = Dir + "/.scratch";
            std::filesystem::create_directory(ScratchDir);
        }
        return ScratchDir;
    }
    std::vector<std::string> Written(const std::string& Sub = "") {
        std::vector<std::string> Names = ListDir(Sub.empty() ? Dir : In(Sub));
        std::erase(Names, ".scratch");
        return Names;
    }
    void Copy(const std::string& From, const std::string& Name) {
        std::filesystem::copy_file(From, In(Name));
    }

    std::string Dir, ScratchDir;
};

std::unique_ptr<TGIFImage> LoadGIF(const std::string& Path) {
    auto G = std::make_unique<TGIFImage>();
    G->LoadFromFile(Path);
    return G;
}

TEST_F(Cli, HelpAndVersion) {
    for (const std::vector<std::string>& Args :
         {std::vector<std::string>{"--help"}, {"convert", "--help"}, {"info", "-h"}}) {
        TRun R = Run(Args);
        EXPECT_EQ(R.Status, 0) << Args.back();
        EXPECT_EQ(R.Err, "");
        for (const char* Part : {"convert [OPTIONS] PICTURE...", "--no-resize", "--reduction",
                                 "--dither", "--palette-bits", "--compression", "--jobs",
                                 "info [--json] GIF...", "extract GIF --frame N -o OUT.bmp",
                                 "Exit status: 0 all done, 1 some failed, 2 bad usage"})
            EXPECT_NE(R.Out.find(Part), std::string::npos) << Part;
    }
    TRun V = Run({"--version"});
    EXPECT_EQ(V.Status, 0);
    EXPECT_EQ(V.Out.rfind("morvellan-cli ", 0), 0u) << V.Out;
    EXPECT_EQ(V.Out.back(), '\n');
}

TEST_F(Cli, UsageErrorsExitWithTwoAndWriteNothing) {
    Copy(Seal, "a.jpg");
    Copy(Seal, "b.jpg");
    Copy(TwoFrames, "t.gif");
    const std::string A = In("a.jpg"), B = In("b.jpg"), T = In("t.gif");
    struct TCase {
        std::vector<std::string> Args;
        const char* Message; // part of the first line
    } Cases[] = {
        {{}, "no command given"},
        {{"paint", A}, "unknown command \"paint\""},
        {{"convert"}, "no PICTURE given"},
        {{"convert", "-o", In("x.gif"), A, B}, "--output names one output"},
        {{"convert", "-o", In("x.gif"), "-d", Dir, A}, "cannot be used together"},
        {{"convert", "--reduction", "median", A}, "--reduction wants one of none|system20|"},
        {{"convert", "--dither", "random", A}, "--dither wants one of nearest|"},
        {{"convert", "--compression", "zip", A}, "--compression wants one of lzw|rle"},
        {{"convert", "--palette-bits", "9", A}, "--palette-bits wants a whole number from 1 to 8"},
        {{"convert", "--palette-bits", "4x", A}, "not \"4x\""},
        {{"convert", "-j", "0", A}, "-j wants a whole number"},
        {{"convert", "--no-resize=yes", A}, "--no-resize takes no value"},
        {{"convert", A, "--reduction"}, "option --reduction needs a value"},
        {{"convert", "--frobnicate", A}, "unknown option --frobnicate"},
        {{"info"}, "no GIF given"},
        {{"info", "--xml", T}, "unknown option --xml"},
        {{"extract", T, "-o", In("f.bmp")}, "--frame N is required"},
        {{"extract", T, "--frame", "0"}, "-o OUT.bmp is required"},
        {{"extract", T, "--frame", "-1", "-o", In("f.bmp")}, "--frame wants a whole number"},
        {{"extract", T, T, "--frame", "0", "-o", In("f.bmp")}, "one GIF at a time"},
    };
    for (const TCase& C : Cases) {
        TRun R = Run(C.Args);
        std::string Shown;
        for (const std::string& W : C.Args) Shown += W + " ";
        EXPECT_EQ(R.Status, 2) << Shown;
        EXPECT_EQ(R.Out, "") << Shown;
        EXPECT_EQ(R.Err.rfind("morvellan-cli: ", 0), 0u) << R.Err;
        EXPECT_NE(R.Err.find(C.Message), std::string::npos) << Shown << "\n" << R.Err;
        EXPECT_NE(R.Err.find("Try 'morvellan-cli --help'"), std::string::npos) << R.Err;
    }
    EXPECT_EQ(Written(), (std::vector<std::string>{"a.jpg", "b.jpg", "t.gif"}));
}

// A 24-bit picture of cube colors converted with the defaults: the file the save command
// writes for it, byte for byte in its fixed parts, and every pixel the cube index of its color.
TEST_F(Cli, ConvertsAFullColorPictureToTheCubeWithTheDefaults) {
    auto Index = [](int32_t X, int32_t Y) { return (X * 7 + Y * 3) % 216; };
    WriteBytes(In("cube.bmp"), Make24BitBmp(300, 200, [&](int32_t X, int32_t Y) {
                   return CubeColor(Index(X, Y));
               }));
    TRun R = Run({"convert", In("cube.bmp")});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Err, "");
    EXPECT_EQ(R.Out, In("cube.bmp") + " -> " + In("cube.gif") + " (300 x 200, 256 colors)\n");

    TBytes G = ReadBytes(In("cube.gif"));
    const TBytes Head = {0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x2C, 0x01, 0xC8, 0x00, 0x77, 0x00,
                         0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x01, 0xC8, 0x00, 0x87};
    ASSERT_GT(G.size(), Head.size() + 768 + 3);
    EXPECT_EQ(TBytes(G.begin(), G.begin() + Head.size()), Head);
    for (int i = 0; i < 256; ++i) {
        const uint32_t Want = i < 216 ? CubeColor(i) : 0;
        const uint8_t* T = &G[Head.size() + 3 * size_t(i)];
        ASSERT_EQ(uint32_t(T[0]) << 16 | uint32_t(T[1]) << 8 | T[2], Want) << "entry " << i;
    }
    EXPECT_EQ(G[Head.size() + 768], 8); // LZW minimum code size
    EXPECT_EQ(G.back(), 0x3B);

    auto Image = LoadGIF(In("cube.gif"));
    ASSERT_EQ(Image->Frames().Count(), 1);
    TGIFSubImage* F = Image->Frames().FrameAt(0);
    F->EnsurePixels();
    for (int32_t Y = 0; Y < 200; ++Y)
        for (int32_t X = 0; X < 300; ++X)
            ASSERT_EQ(F->RowPointer(Y)[X], Index(X, Y)) << X << "," << Y;
}

TEST_F(Cli, LargePicturesAreScaledTo640WideUnlessNoResize) {
    struct TCase {
        int32_t W, H;
        bool Resize;
        int32_t WantW, WantH;
    } Cases[] = {
        {700, 500, true, 640, 457},    {699, 699, true, 699, 699},  {500, 800, true, 640, 1024},
        {1000, 1999, true, 640, 1279}, {700, 500, false, 700, 500}, {500, 800, false, 500, 800},
    };
    for (const TCase& C : Cases) {
        const std::string Name = In("p.bmp");
        WriteBytes(Name, Make24BitBmp(C.W, C.H, [](int32_t X, int32_t Y) {
                       return uint32_t(X * 255 / 1000) << 16 | uint32_t(Y * 255 / 2000);
                   }));
        std::vector<std::string> Args{"convert", Name};
        if (!C.Resize) Args.push_back("--no-resize");
        TRun R = Run(Args);
        ASSERT_EQ(R.Status, 0) << R.Err;
        auto G = LoadGIF(In("p.gif"));
        EXPECT_EQ(G->Width(), C.WantW) << C.W << " x " << C.H;
        EXPECT_EQ(G->Height(), C.WantH) << C.W << " x " << C.H;
    }
}

// The seal JPEG, 1200 pixels a side, becomes 640 x 640 with the halftone palette, exactly what
// the window's save conversion writes for it.
TEST_F(Cli, TheSealIsConvertedAsTheWindowSavesIt) {
    Copy(Seal, "seal.jpg");
    TRun R = Run({"convert", In("seal.jpg")});
    ASSERT_EQ(R.Status, 0) << R.Err;
    EXPECT_EQ(R.Out, In("seal.jpg") + " -> " + In("seal.gif") + " (640 x 640, 256 colors)\n");

    TPicture Picture;
    Picture.LoadFromFile(Seal);
    std::unique_ptr<TBitmap> Small = DownscaleForSave(Picture.Graphic(), true);
    ASSERT_TRUE(Small);
    TGIFImage Window;
    AssignForSave(Window, Small.get());
    TMemoryStream Expected;
    Window.SaveToStream(Expected);
    EXPECT_TRUE(ReadBytes(In("seal.gif")) == Expected.Bytes());

    // The halftone colors, not the cube of the full-size conversion.
    TBitmap Halftone;
    Halftone.SetWidth(1);
    Halftone.SetHeight(1);
    Halftone.SetPixelFormat(pf8bit);
    TPaletteEntry Entries[256];
    ASSERT_EQ(GetPaletteEntries(Halftone.Palette(), 0, 256, Entries), 256u);
    auto G = LoadGIF(In("seal.gif"));
    const uint8_t* T = G->Frames().FrameAt(0)->EffectiveMap().Triples();
    for (int i = 0; i < 256; ++i, T += 3) {
        ASSERT_EQ(T[0], Entries[i].peRed) << i;
        ASSERT_EQ(T[1], Entries[i].peGreen) << i;
        ASSERT_EQ(T[2], Entries[i].peBlue) << i;
    }
}

TEST_F(Cli, OutputNames) {
    WriteBytes(In("a.b.bmp"), Make24BitBmp(4, 3, [](int32_t, int32_t) { return 0x336699u; }));
    struct TCase {
        std::vector<std::string> Options;
        std::string Output; // relative to the directory
    } Cases[] = {
        {{}, "a.b.gif"},
        {{"-o", In("out.bmp")}, "out.gif"},
        {{"--output=" + In("plain")}, "plain.gif"},
        {{"-d", In("made/here")}, "made/here/a.b.gif"},
        {{"--directory", In("made")}, "made/a.b.gif"},
    };
    for (const TCase& C : Cases) {
        std::vector<std::string> Args{"convert"};
        Args.insert(Args.end(), C.Options.begin(), C.Options.end());
        Args.push_back(In("a.b.bmp"));
        TRun R = Run(Args);
        EXPECT_EQ(R.Status, 0) << R.Err;
        EXPECT_EQ(R.Out, In("a.b.bmp") + " -> " + In(C.Output) + " (4 x 3, 256 colors)\n");
        EXPECT_TRUE(std::filesystem::exists(In(C.Output))) << C.Output;
    }
    // Quiet prints nothing and still writes.
    std::filesystem::remove(In("a.b.gif"));
    TRun Q = Run({"convert", "-q", In("a.b.bmp")});
    EXPECT_EQ(Q.Status, 0);
    EXPECT_EQ(Q.Out, "");
    EXPECT_TRUE(std::filesystem::exists(In("a.b.gif")));
}

// Each option reaches the image's setting of its name: the written file shows it.
TEST_F(Cli, OptionsSetTheConversion) {
    WriteBytes(In("g.bmp"), Make24BitBmp(64, 48, [](int32_t X, int32_t Y) {
                   return uint32_t(X * 4) << 16 | uint32_t(Y * 5) << 8 | uint32_t((X + Y) * 2);
               }));
    auto Convert = [&](std::vector<std::string> Options) {
        std::vector<std::string> Args{"convert", "-o", In("g.gif"), In("g.bmp")};
        Args.insert(Args.end(), Options.begin(), Options.end());
        TRun R = Run(Args);
        EXPECT_EQ(R.Status, 0) << R.Err;
        return LoadGIF(In("g.gif"));
    };
    auto Pixels = [](TGIFImage& G) {
        TGIFSubImage* F = G.Frames().FrameAt(0);
        F->EnsurePixels();
        return TBytes(F->IndexData(), F->IndexData() + F->Width() * F->Height());
    };
    auto Map = [](TGIFImage& G) { return &G.Frames().FrameAt(0)->EffectiveMap(); };

    auto Nearest = Convert({});
    const TBytes NearestPixels = Pixels(*Nearest);
    const TBytes NearestFile = ReadBytes(In("g.gif"));

    auto Diffused = Convert({"--dither", "floyd-steinberg"});
    EXPECT_EQ(Map(*Diffused)->Count(), Map(*Nearest)->Count());
    EXPECT_NE(Pixels(*Diffused), NearestPixels);

    auto RunLength = Convert({"--compression", "rle"});
    EXPECT_EQ(Pixels(*RunLength), NearestPixels);
    EXPECT_NE(ReadBytes(In("g.gif")), NearestFile);

    auto Octree = Convert({"--reduction", "octree", "--palette-bits", "3"});
    const TBytes OctreePixels = Pixels(*Octree);
    EXPECT_LE(std::set<uint8_t>(OctreePixels.begin(), OctreePixels.end()).size(), 8u);
    EXPECT_GT(std::set<uint8_t>(NearestPixels.begin(), NearestPixels.end()).size(), 8u);

    auto Gray = Convert({"--reduction=gray256"});
    const uint8_t* T = Map(*Gray)->Triples();
    for (int i = 0; i < Map(*Gray)->Count(); ++i, T += 3)
        ASSERT_TRUE(T[0] == T[1] && T[1] == T[2]) << "entry " << i;
    EXPECT_NE(Pixels(*Gray), NearestPixels);
}

TEST_F(Cli, ABadPictureFailsAloneAndLeavesNoFile) {
    WriteBytes(In("a.bmp"), Make24BitBmp(5, 5, [](int32_t X, int32_t) { return X * 0x330000u; }));
    WriteBytes(In("bad.jpg"), TBytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F'});
    Copy(TwoFrames, "c.gif");
    // An earlier output of the bad picture stays as it was.
    const TBytes Earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    WriteBytes(In("bad.gif"), Earlier);
    std::filesystem::create_directory(In("out"));

    TRun R = Run({"convert", "-d", In("out"), In("a.bmp"), In("bad.jpg"), In("missing.bmp"),
                  In("c.gif"), "-j", "2"});
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Out, In("a.bmp") + " -> " + In("out/a.gif") + " (5 x 5, 256 colors)\n" +
                         In("c.gif") + " -> " + In("out/c.gif") + " (37 x 23, 64 colors)\n");
    // One line per failure, in the order given, each naming its picture.
    const std::string BadPrefix = "morvellan-cli: " + In("bad.jpg") + ": ";
    const std::string MissingPrefix = "morvellan-cli: " + In("missing.bmp") + ": ";
    ASSERT_EQ(R.Err.rfind(BadPrefix, 0), 0u) << R.Err;
    const size_t Second = R.Err.find('\n') + 1;
    EXPECT_EQ(R.Err.compare(Second, MissingPrefix.size(), MissingPrefix), 0) << R.Err;
    EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 2);
    EXPECT_EQ(Written("out"), (std::vector<std::string>{"a.gif", "c.gif"}));

    // In place: the bad picture's earlier output is kept, nothing half-written is left.
    TRun Here = Run({"convert", In("bad.jpg"), In("a.bmp")});
    EXPECT_EQ(Here.Status, 1);
    EXPECT_EQ(ReadBytes(In("bad.gif")), Earlier);
    EXPECT_EQ(Written(),
              (std::vector<std::string>{"a.bmp", "a.gif", "bad.gif", "bad.jpg", "c.gif", "out"}));
    // Two pictures of one output name: the first is written, the second refused.
    Copy(Seal, "a.jpg");
    TRun Twice = Run({"convert", "-d", In("twice"), In("a.bmp"), In("a.jpg")});
    EXPECT_EQ(Twice.Status, 1);
    EXPECT_EQ(Twice.Err, "morvellan-cli: " + In("a.jpg") + ": " + In("twice/a.gif") +
                             " is already written from " + In("a.bmp") + "\n");
    EXPECT_EQ(ReadBytes(In("twice/a.gif")), ReadBytes(In("a.gif")));
}

TEST_F(Cli, ParallelConvertWritesWhatOneAtATimeDoes) {
    Copy(Seal, "seal.jpg");
    std::vector<std::string> Names{"seal.jpg"};
    for (const char* G : {"giflib_two_frames.gif", "giflib_8bit_600x400.gif", "giflib_d4.gif"}) {
        Copy(GifData + G, G);
        Names.push_back(G);
    }
    for (int i = 0; i < 4; ++i) {
        const std::string N = Format("p%d.bmp", i);
        WriteBytes(In(N), Make24BitBmp(200 + 300 * i, 150 + 50 * i, [i](int32_t X, int32_t Y) {
                       return uint32_t(X * (i + 1)) << 16 | uint32_t(Y ^ X) << 8 | uint32_t(i * 40);
                   }));
        Names.push_back(N);
    }
    auto ConvertAll = [&](const std::string& Jobs, const std::string& Out) {
        std::vector<std::string> Args{"convert", "-j", Jobs, "-d", In(Out)};
        for (const std::string& N : Names) Args.push_back(In(N));
        TRun R = Run(Args);
        EXPECT_EQ(R.Status, 0) << R.Err;
        std::string Lines = R.Out;
        for (size_t At; (At = Lines.find(In(Out))) != std::string::npos;)
            Lines.replace(At, In(Out).size(), "OUT");
        return Lines;
    };
    const std::string One = ConvertAll("1", "one"), Two = ConvertAll("2", "two");
    EXPECT_EQ(One, Two); // the same lines, in the order of the pictures
    EXPECT_EQ(std::count(One.begin(), One.end(), '\n'), long(Names.size()));
    for (const std::string& N : Names) {
        const std::string Gif = std::filesystem::path(N).replace_extension(".gif");
        TBytes A = ReadBytes(In("one/" + Gif)), B = ReadBytes(In("two/" + Gif));
        EXPECT_FALSE(A.empty()) << Gif;
        EXPECT_TRUE(A == B) << Gif;
    }
}

TEST_F(Cli, InfoJsonReadsBack) {
    WriteBytes(In("hand.gif"), HandGIF);
    TRun R = Run({"info", "--json", In("hand.gif"), TwoFrames});
    ASSERT_EQ(R.Status, 0) << R.Err;
    const size_t Cut = R.Out.find('\n');
    ASSERT_NE(Cut, std::string::npos);
    const TJson Hand = ParseJson(R.Out.substr(0, Cut));
    const TJson Two = ParseJson(R.Out.substr(Cut + 1));

    EXPECT_EQ(Hand["version"].S, "89a");
    EXPECT_EQ(Hand["width"].Int(), 2);
    EXPECT_EQ(Hand["height"].Int(), 2);
    EXPECT_EQ(Hand["global_colors"].Int(), 2);
    EXPECT_EQ(Hand["background_index"].Int(), 1);
    EXPECT_EQ(Hand["loop_count"].Int(), 5);
    ASSERT_EQ(Hand["comments"].Items.size(), 1u);
    EXPECT_EQ(Hand["comments"][0].S, "hello");
    EXPECT_EQ(Hand["warnings"].Kind, TJson::Array);
    EXPECT_TRUE(Hand["warnings"].Items.empty());
    ASSERT_EQ(Hand["frames"].Items.size(), 1u);
    const TJson& F = Hand["frames"][0];
    EXPECT_EQ(F["disposal"].Int(), 2);
    EXPECT_EQ(F["delay"].Int(), 25);
    EXPECT_EQ(F["transparent_index"].Kind, TJson::Number);
    EXPECT_EQ(F["transparent_index"].Int(), 1);
    EXPECT_EQ(F["local_colors"].Int(), 0);

    EXPECT_EQ(Two["version"].S, "89a");
    EXPECT_EQ(Two["global_colors"].Int(), 64);
    EXPECT_EQ(Two["loop_count"].Kind, TJson::Null);
    EXPECT_EQ(Two["comments"][0].S, "giflib");
    ASSERT_EQ(Two["frames"].Items.size(), 2u);
    struct {
        int Left, Top, Width, Height;
        bool Interlaced;
        int LocalColors;
    } Frames[] = {{0, 0, 37, 23, false, 0}, {5, 3, 20, 11, true, 8}};
    for (size_t i = 0; i < 2; ++i) {
        const TJson& G = Two["frames"][i];
        EXPECT_EQ(G["left"].Int(), Frames[i].Left);
        EXPECT_EQ(G["top"].Int(), Frames[i].Top);
        EXPECT_EQ(G["width"].Int(), Frames[i].Width);
        EXPECT_EQ(G["height"].Int(), Frames[i].Height);
        EXPECT_EQ(G["interlaced"].Kind, TJson::Bool);
        EXPECT_EQ(G["interlaced"].B, Frames[i].Interlaced);
        EXPECT_EQ(G["local_colors"].Int(), Frames[i].LocalColors);
        EXPECT_EQ(G["transparent_index"].Kind, TJson::Null);
        EXPECT_EQ(G["disposal"].Int(), 0);
        EXPECT_EQ(G["delay"].Int(), 0);
    }
}

// Comment bytes have no stated encoding: UTF-8 passes, other bytes are read as Latin-1.
TEST_F(Cli, InfoJsonIsValidWhateverTheCommentBytes) {
    const TBytes Text = {'c', 'a', 'f', 0xE9, ' ', 0xE5, 0x8D, 0xB0, ' ', 0xE5, 0x8D, '"', 0x01};
    TBytes File(HandGIF.begin(), HandGIF.begin() + 40); // through the comment's label
    File.push_back(static_cast<uint8_t>(Text.size()));
    File.insert(File.end(), Text.begin(), Text.end());
    File.insert(File.end(), HandGIF.begin() + 46, HandGIF.end()); // its terminator on
    WriteBytes(In("c.gif"), File);
    TRun R = Run({"info", "--json", In("c.gif")});
    ASSERT_EQ(R.Status, 0) << R.Err;
    const TJson J = ParseJson(R.Out);
    ASSERT_EQ(J["comments"].Items.size(), 1u);
    EXPECT_EQ(J["comments"][0].S, "caf\xC3\xA9 \xE5\x8D\xB0 \xC3\xA5\xC2\x8D\"\x01");
}

TEST_F(Cli, InfoReportsWarningsAndGoesOnPastABadFile) {
    // Cut inside the pixel data: a frame and a warning.
    WriteBytes(In("cut.gif"), TBytes(HandGIF.begin(), HandGIF.end() - 4));
    WriteBytes(In("junk.gif"), TBytes{'n', 'o', 't', ' ', 'a', ' ', 'g', 'i', 'f'});
    WriteBytes(In("hand.gif"), HandGIF);

    TRun J = Run({"info", "--json", In("cut.gif")});
    ASSERT_EQ(J.Status, 0) << J.Err;
    const TJson Cut = ParseJson(J.Out);
    ASSERT_EQ(Cut["warnings"].Items.size(), 1u) << J.Out;
    EXPECT_EQ(Cut["warnings"][0].S, "Premature end of data");
    EXPECT_EQ(Cut["frames"].Items.size(), 1u);

    TRun T = Run({"info", In("junk.gif"), In("hand.gif")});
    EXPECT_EQ(T.Status, 1);
    EXPECT_EQ(T.Err.rfind("morvellan-cli: " + In("junk.gif") + ": ", 0), 0u) << T.Err;
    EXPECT_EQ(std::count(T.Err.begin(), T.Err.end(), '\n'), 1);
    EXPECT_EQ(T.Out.rfind(In("hand.gif") + ": GIF89a, 2 x 2", 0), 0u) << T.Out;
    for (const char* Part : {"loops 5 times", "comment: hello", "frame 0: 2 x 2 at 0,0",
                             "disposal restore-background", "delay 25/100 s", "transparent 1"})
        EXPECT_NE(T.Out.find(Part), std::string::npos) << Part << "\n" << T.Out;
}

// The frame's indices, bottom-up in rows padded to 4 bytes, after the effective color map.
TEST_F(Cli, ExtractWritesTheFrameIndicesAsAn8BitBmp) {
    auto Colors = LoadGIF(TwoFrames);
    struct TCase {
        int Frame;
        int32_t W, H;
        int Mod, Plus; // index (7x + 13y + xy + Plus) mod Mod
        TGIFColorMap* Map;
    } Cases[] = {
        {0, 37, 23, 64, 0, &Colors->ScreenColorMap()},
        {1, 20, 11, 8, 1, &Colors->Frames().FrameAt(1)->LocalMap()},
    };
    for (const TCase& C : Cases) {
        const std::string Out = In(Format("f%d.bmp", C.Frame));
        TRun R = Run({"extract", TwoFrames, "--frame", std::to_string(C.Frame), "-o", Out});
        ASSERT_EQ(R.Status, 0) << R.Err;
        EXPECT_EQ(R.Out, "");
        const TBytes B = ReadBytes(Out);
        const uint32_t Colors = uint32_t(C.Map->Count()), Stride = (uint32_t(C.W) + 3) & ~3u;
        const uint32_t Offset = 54 + 4 * Colors;
        ASSERT_EQ(B.size(), Offset + Stride * uint32_t(C.H));
        EXPECT_EQ(B[0], 'B');
        EXPECT_EQ(B[1], 'M');
        EXPECT_EQ(Get32(B, 2), B.size());
        EXPECT_EQ(Get32(B, 10), Offset);
        EXPECT_EQ(Get32(B, 14), 40u);
        EXPECT_EQ(Get32(B, 18), uint32_t(C.W));
        EXPECT_EQ(Get32(B, 22), uint32_t(C.H));
        EXPECT_EQ(Get16(B, 26), 1u);
        EXPECT_EQ(Get16(B, 28), 8u);
        EXPECT_EQ(Get32(B, 30), 0u);
        EXPECT_EQ(Get32(B, 46), Colors);
        const uint8_t* T = C.Map->Triples();
        for (uint32_t i = 0; i < Colors; ++i, T += 3) {
            const uint8_t Want[4] = {T[2], T[1], T[0], 0};
            ASSERT_EQ(std::memcmp(&B[54 + 4 * i], Want, 4), 0) << "color " << i;
        }
        for (int32_t Y = 0; Y < C.H; ++Y) {
            const uint8_t* Row = &B[Offset + Stride * uint32_t(C.H - 1 - Y)];
            for (int32_t X = 0; X < C.W; ++X)
                ASSERT_EQ(Row[X], (7 * X + 13 * Y + X * Y + C.Plus) % C.Mod) << X << "," << Y;
            for (uint32_t X = uint32_t(C.W); X < Stride; ++X) ASSERT_EQ(Row[X], 0);
        }
    }
}

TEST_F(Cli, ExtractFailuresWriteNothing) {
    WriteBytes(In("junk.gif"), TBytes{'G', 'I', 'F', '8', '9', 'a', 1});
    struct TCase {
        std::string Input;
        int Frame;
        const char* Message;
    } Cases[] = {
        {TwoFrames, 2, "There is no frame 2: the GIF has 2 frames (from 0)"},
        {In("junk.gif"), 0, ""},
        {In("none.gif"), 0, ""},
    };
    for (const TCase& C : Cases) {
        TRun R = Run({"extract", C.Input, "--frame", std::to_string(C.Frame), "-o", In("f.bmp")});
        EXPECT_EQ(R.Status, 1) << C.Input;
        EXPECT_EQ(R.Err.rfind("morvellan-cli: " + C.Input + ": " + C.Message, 0), 0u) << R.Err;
        EXPECT_EQ(Written(), (std::vector<std::string>{"junk.gif"}));
    }
}

} // namespace
} // namespace mv::clitest

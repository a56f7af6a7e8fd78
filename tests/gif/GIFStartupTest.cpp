// What the library's start-up leaves behind (the picture framework knows GIF files and the
// "GIF Image" clipboard format, the palette-display flag follows the screen) and the clipboard
// loading of GIF data.
#include "gif/GIFImage.h"
#include "tests/gif/GIFTestHelpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace mv {
namespace {

using test::Bytes;

// A 2 x 1 GIF: black and white, pixels 0 and 1, LZW code size 2.
Bytes TwoPixelGIF() {
    return {'G',  'I',  'F',  '8',  '7',  'a',  0x02, 0x00, 0x01, 0x00, 0x80, 0x00,
            0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x2C, 0x00, 0x00, 0x00, 0x00,
            0x02, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x0A, 0x00, 0x3B};
}

TEST(GIFStartup, RegistersTheFileFormatAndTheClipboardFormat) {
    EXPECT_EQ(TPicture::FindExtension("gif"), TGIFImage::ClassInfo());
    EXPECT_EQ(TPicture::FindExtension("GIF"), TGIFImage::ClassInfo());
    bool Listed = false;
    for (const auto& F : TPicture::FileFormats())
        if (F.Extension == "gif") {
            Listed = true;
            EXPECT_EQ(F.Description, "GIF Image");
            EXPECT_EQ(F.GraphicClass, TGIFImage::ClassInfo());
        }
    EXPECT_TRUE(Listed);
    EXPECT_NE(GIFClipboardFormat, 0);
    EXPECT_EQ(GIFClipboardFormat, RegisterClipboardFormat("GIF Image"));
    EXPECT_EQ(GetClipboardFormatName(GIFClipboardFormat), "GIF Image");
    EXPECT_EQ(TPicture::FindClipboardFormat(GIFClipboardFormat), TGIFImage::ClassInfo());
    EXPECT_TRUE(TPicture::SupportsClipboardFormat(GIFClipboardFormat));
    // Starting again changes nothing.
    size_t Formats = TPicture::FileFormats().size();
    GIFImageInitialize();
    EXPECT_EQ(TPicture::FileFormats().size(), Formats);
}

TEST(GIFStartup, APictureOpensGIFFilesOfAnyCaseAsGIFImages) {
    std::string Path = testing::TempDir() + "startup_test.GIF";
    {
        TMemoryStream S;
        test::Fill(S, TwoPixelGIF());
        S.SaveToFile(Path);
    }
    TPicture Picture;
    Picture.LoadFromFile(Path);
    auto* Image = dynamic_cast<TGIFImage*>(Picture.Graphic());
    ASSERT_NE(Image, nullptr);
    EXPECT_EQ(Image->Frames().Count(), 1);
    EXPECT_EQ(Image->Frames().FrameAt(0)->PixelAt(1, 0), 1);
    std::remove(Path.c_str());
}

// The flag is set once at start-up, so an 8-bit screen is checked in a child process that
// asks for it through the environment before the library starts.
TEST(GIFStartup, PaletteDisplayFollowsTheScreenDepth) {
    EXPECT_EQ(PaletteDisplay, ScreenBitsPerPixel() <= 8);
    const char* Asked = std::getenv("MORVELLAN_SCREEN_BPP");
    if (Asked) {
        EXPECT_EQ(PaletteDisplay, std::atoi(Asked) <= 8);
        return;
    }
    char Self[4096] = {};
    ssize_t N = readlink("/proc/self/exe", Self, sizeof(Self) - 1);
    ASSERT_GT(N, 0);
    for (const char* Depth : {"8", "1", "16"}) {
        std::string Command = std::string("MORVELLAN_SCREEN_BPP=") + Depth + " '" + Self +
                              "' --gtest_filter=GIFStartup.PaletteDisplayFollowsTheScreenDepth" +
                              " > /dev/null 2>&1";
        EXPECT_EQ(std::system(Command.c_str()), 0) << "screen of " << Depth << " bits";
    }
}

HGLOBAL GlobalOf(const Bytes& Data) {
    HGLOBAL G = GlobalAlloc(GMEM_MOVEABLE, Data.size());
    std::memcpy(GlobalLock(G), Data.data(), Data.size());
    GlobalUnlock(G);
    return G;
}

TEST(GIFClipboard, LoadsGIFDataGivenOrFromTheClipboard) {
    TGIFImage Image;
    Image.LoadFromClipboardFormat(GIFClipboardFormat, GlobalOf(TwoPixelGIF()), nullptr);
    EXPECT_EQ(Image.Frames().Count(), 1);
    EXPECT_EQ(Image.Width(), 2);

    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    SetClipboardData(GIFClipboardFormat, GlobalOf(TwoPixelGIF()));
    CloseClipboard();
    TGIFImage FromClipboard;
    FromClipboard.LoadFromClipboardFormat(GIFClipboardFormat, nullptr, nullptr);
    EXPECT_EQ(FromClipboard.Frames().Count(), 1);
    EXPECT_EQ(FromClipboard.Frames().FrameAt(0)->PixelAt(0, 0), 0);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
}

TEST(GIFClipboard, RefusesOtherFormatsAndMissingData) {
    TGIFImage Image;
    HGLOBAL G = GlobalOf(TwoPixelGIF());
    for (uint32_t Format : {uint32_t{CF_DIB}, uint32_t{CF_PALETTE}, uint32_t{0}}) {
        try {
            Image.LoadFromClipboardFormat(Format, G, nullptr);
            ADD_FAILURE() << "format " << Format;
        } catch (const GIFException& E) {
            EXPECT_STREQ(E.what(), "Unsupported clipboard format");
        }
    }
    // Nothing on the clipboard under the GIF format.
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
    EXPECT_THROW(Image.LoadFromClipboardFormat(GIFClipboardFormat, nullptr, nullptr), GIFException);
    // Damaged GIF data fails like a damaged file.
    EXPECT_THROW(
        Image.LoadFromClipboardFormat(GIFClipboardFormat, GlobalOf({'G', 'I', 'X'}), nullptr),
        GIFException);
}

TEST(GIFClipboard, AnEmptyImageGivesNothing) {
    TGIFImage Image;
    uint32_t Format = 0;
    THandle Data;
    HPALETTE Palette;
    Image.SaveToClipboardFormat(Format, Data, Palette);
    EXPECT_EQ(Format, 0u);
    EXPECT_FALSE(Data);
    EXPECT_FALSE(Palette);
}

} // namespace
} // namespace mv

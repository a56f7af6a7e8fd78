#include "gif/color/SaveConversion.h"

#include "gif/color/Ditherers.h"
#include "platform/Jpeg.h"

#include <gtest/gtest.h>

#include <cstdio> // jpeglib.h needs FILE and size_t first
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <jpeglib.h>

namespace mv {
namespace {

std::vector<uint8_t> SealBytes() {
    std::ifstream F(std::string(MORVELLAN_SOURCE_DIR) + "/samples/seal.jpg", std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(F), {});
}

void LoadJPEG(TJPEGImage& J, const std::vector<uint8_t>& Bytes) {
    TMemoryStream S;
    S.WriteBuffer(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    S.SetPosition(0);
    J.LoadFromStream(S);
}

// A JPEG of W x H pixels with stripes and gradients, so that dropped rows and columns show.
std::vector<uint8_t> StripedJPEG(int W, int H) {
    jpeg_compress_struct C;
    jpeg_error_mgr Err;
    C.err = jpeg_std_error(&Err);
    jpeg_create_compress(&C);
    unsigned char* Out = nullptr;
    unsigned long OutSize = 0;
    jpeg_mem_dest(&C, &Out, &OutSize);
    C.image_width = static_cast<JDIMENSION>(W);
    C.image_height = static_cast<JDIMENSION>(H);
    C.input_components = 3;
    C.in_color_space = JCS_RGB;
    jpeg_set_defaults(&C);
    jpeg_set_quality(&C, 90, TRUE);
    jpeg_start_compress(&C, TRUE);
    std::vector<uint8_t> Row(static_cast<size_t>(W) * 3);
    while (C.next_scanline < C.image_height) {
        const int y = static_cast<int>(C.next_scanline);
        for (int x = 0; x < W; ++x) {
            Row[3 * x] = static_cast<uint8_t>((x * 7) % 256);
            Row[3 * x + 1] = static_cast<uint8_t>(y % 3 == 0 ? 240 : y * 255 / H);
            Row[3 * x + 2] = static_cast<uint8_t>(x % 5 == 0 ? 20 : (x + y) % 256);
        }
        JSAMPROW R = Row.data();
        jpeg_write_scanlines(&C, &R, 1);
    }
    jpeg_finish_compress(&C);
    jpeg_destroy_compress(&C);
    std::vector<uint8_t> Result(Out, Out + OutSize);
    std::free(Out);
    return Result;
}

std::vector<uint8_t> BitmapFile(TBitmap& B) {
    TMemoryStream S;
    B.SaveToStream(S);
    return S.Bytes();
}

std::vector<uint8_t> Saved(TGIFImage& G) {
    TMemoryStream S;
    G.SaveToStream(S);
    return S.Bytes();
}

// A JPEG not decoded yet goes to the cube row by row as it is decoded; the file is the one its
// decoded 24-bit bitmap gives, for every ditherer and for a file cut short.
TEST(SaveConversion, JPEGReducedWhileDecodingGivesTheFileOfItsDecodedBitmap) {
    const std::vector<uint8_t> Seal = SealBytes();
    ASSERT_GT(Seal.size(), 1000u);
    const std::vector<uint8_t> Cut(Seal.begin(), Seal.begin() + Seal.size() / 3);
    struct TCase {
        const std::vector<uint8_t>* File;
        TDitherKind Kind;
    } Cases[] = {{&Seal, dkNearest}, {&Seal, dkFloydSteinberg}, {&Seal, dkStucki},
                 {&Seal, dkSierra},  {&Seal, dkJaJuNi},         {&Seal, dkSteveArche},
                 {&Seal, dkBurkes},  {&Cut, dkNearest},         {&Cut, dkFloydSteinberg}};
    for (const TCase& C : Cases) {
        SCOPED_TRACE(testing::Message() << (C.File == &Cut ? "cut, " : "") << "dither " << C.Kind);
        TJPEGImage Streamed, Decoded;
        LoadJPEG(Streamed, *C.File);
        LoadJPEG(Decoded, *C.File);
        ASSERT_NE(Decoded.Bitmap(), nullptr);

        TGIFImage A, B;
        A.DitherKind = B.DitherKind = C.Kind;
        AssignForSave(A, &Streamed);
        EXPECT_FALSE(Streamed.Decoded()); // the full-color picture was never made
        AssignForSave(B, &Decoded);
        const std::vector<uint8_t> Want = Saved(B);
        EXPECT_TRUE(Saved(A) == Want);
    }
}

// A JPEG not decoded yet is scaled down keeping only the rows the stretch takes; the 8-bit
// bitmap is the one the stretch of its decoded bitmap gives, also where the height grows (the
// whole picture is decoded then) and for a file cut short.
TEST(SaveConversion, JPEGScaledWhileDecodingGivesTheBitmapOfItsDecodedPicture) {
    const std::vector<uint8_t> Seal = SealBytes();
    struct TCase {
        const char* Name;
        std::vector<uint8_t> File;
    } Cases[] = {{"1001 x 703", StripedJPEG(1001, 703)},
                 {"703 x 1500", StripedJPEG(703, 1500)},
                 {"2000 x 701", StripedJPEG(2000, 701)},
                 {"500 x 800", StripedJPEG(500, 800)},
                 {"seal", Seal},
                 {"seal cut", std::vector<uint8_t>(Seal.begin(), Seal.begin() + Seal.size() / 2)}};
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TJPEGImage Streamed, Decoded;
        LoadJPEG(Streamed, C.File);
        LoadJPEG(Decoded, C.File);
        ASSERT_NE(Decoded.Bitmap(), nullptr);
        std::unique_ptr<TBitmap> A = DownscaleForSave(&Streamed, true);
        std::unique_ptr<TBitmap> B = DownscaleForSave(&Decoded, true);
        ASSERT_TRUE(A && B);
        EXPECT_EQ(A->Width(), ResizeWidth);
        EXPECT_EQ(A->Height(), ScaledHeight(Streamed.Width(), Streamed.Height(), ResizeWidth));
        EXPECT_TRUE(BitmapFile(*A) == BitmapFile(*B));
    }
}

} // namespace
} // namespace mv

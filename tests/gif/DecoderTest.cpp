// The LZW decoder on raw image data: code sequences, row orders, sub-block boundaries,
// truncated and malformed data, and where the stream is left.
#include "gif/GIFDecoder.h"
#include "gif/GIFEncoder.h"
#include "tests/gif/CodecTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>

namespace mv {
namespace {

using namespace codectest;

struct TDecoded {
    Bytes Pixels;
    std::vector<std::string> Warnings;
    int64_t Position = 0;
    std::string Error;
};

// Decodes Data (followed by Trailing bytes) into a Width x Height frame filled with Fill.
TDecoded Decode(const Bytes& Data, int32_t Width, int32_t Height, bool Interlaced = false,
                uint8_t Fill = 0xEE, const Bytes& Trailing = {}) {
    TMemoryStream S;
    S.Write(Data.data(), int64_t(Data.size()));
    S.Write(Trailing.data(), int64_t(Trailing.size()));
    S.SetPosition(0);
    TDecoded D;
    D.Pixels.assign(size_t(Width) * Height, Fill);
    TWarningRecorder Rec;
    try {
        DecodeImageData(S, D.Pixels.data(), Width, Height, Interlaced, &Rec);
    } catch (const GIFException& E) {
        D.Error = E.what();
    }
    D.Warnings = Rec.Warnings;
    D.Position = S.Position();
    return D;
}

TEST(DecoderTest, GoldenCodeSequences) {
    struct Case {
        const char* Name;
        int Root;
        std::vector<int> Codes;
        Bytes Pixels;
    } Cases[] = {
        {"alternating", 8, {256, 0, 1, 258, 260, 1, 257}, {0, 1, 0, 1, 0, 1, 0, 1}},
        {"code being defined", 8, {256, 7, 258, 259, 257}, {7, 7, 7, 7, 7, 7}},
        {"one pixel", 8, {256, 42, 257}, {42}},
        {"two colors", 2, {4, 1, 6, 0, 5}, {1, 1, 1, 0}},
        {"clear mid-data", 3, {8, 1, 2, 10, 8, 3, 10, 9}, {1, 2, 1, 2, 3, 3, 3}},
        {"repeated clears", 8, {256, 256, 256, 5, 257}, {5}},
        // Root codes above 255 (minimum code size 11) keep their low 8 bits.
        {"wide roots", 11, {2048, 300, 2047, 2050, 2049}, {44, 255, 44, 255}},
    };
    for (const Case& C : Cases) {
        const TDecoded D =
            Decode(FrameData(C.Root, PackCodes(C.Root, C.Codes)), int32_t(C.Pixels.size()), 1);
        EXPECT_EQ(D.Pixels, C.Pixels) << C.Name;
        EXPECT_TRUE(D.Warnings.empty()) << C.Name;
        EXPECT_EQ(D.Error, "") << C.Name;
    }
}

TEST(DecoderTest, InterlacedRowOrders) {
    // One pixel per row; the k-th decoded pixel is k, so each row shows when it was filled.
    struct Case {
        int32_t Height;
        Bytes Rows; // value found in each row
    } Cases[] = {
        {10, {0, 5, 3, 6, 2, 7, 4, 8, 1, 9}},
        {3, {0, 2, 1}},
        {1, {0}},
        {5, {0, 3, 2, 4, 1}},
    };
    for (const Case& C : Cases) {
        std::vector<int> Codes{16};
        for (int k = 0; k < C.Height; ++k) Codes.push_back(k);
        Codes.push_back(17);
        const TDecoded D = Decode(FrameData(4, PackCodes(4, Codes)), 1, C.Height, true);
        EXPECT_EQ(D.Pixels, C.Rows) << C.Height << " rows";
    }
    // Rows wider than one pixel continue the string across rows.
    const TDecoded D =
        Decode(FrameData(8, PackCodes(8, {256, 1, 2, 258, 258, 258, 257})), 2, 4, true);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2, 1, 2, 1, 2, 1, 2}));
}

TEST(DecoderTest, TableFullKeepsTwelveBitCodesUntilClear) {
    // Encode noise so the table fills and clears, then decode it back.
    TRandom R(3);
    Bytes Pixels(40000);
    for (auto& P : Pixels) P = uint8_t(R.Next() % 256);
    TMemoryStream S;
    CreateGIFEncoder(cpLZW)->Encode(S, 8, 200, 200, false, Pixels.data(), 256);
    const TDecoded D = Decode(S.Bytes(), 200, 200);
    EXPECT_EQ(D.Pixels, Pixels);
    // A full table without a clear: 4095 is the last entry; later codes add nothing and stay
    // 12 bits wide. Roots at 2 bits: define entries until 4096, then two more codes.
    std::vector<int> Codes{4, 1};
    Bytes Expected{1};
    for (int i = 6; i < 4096; ++i) {
        Codes.push_back(i & 1 ? 2 : 3);
        Expected.push_back(i & 1 ? 2 : 3);
    }
    Codes.insert(Codes.end(), {4095, 0, 5});
    // 4095 holds the last two roots before it.
    Expected.insert(Expected.end(), {3, 2, 0});
    const TDecoded F = Decode(FrameData(2, PackCodes(2, Codes)), int32_t(Expected.size()), 1);
    EXPECT_EQ(F.Pixels, Expected);
}

TEST(DecoderTest, StreamPositionAndSkippedData) {
    const Bytes Trailer{0x3B};
    // Only clear and end: every pixel keeps its fill; the stream stands after the terminator.
    Bytes Data = FrameData(8, PackCodes(8, {256, 257}));
    TDecoded D = Decode(Data, 3, 2, false, 9, Trailer);
    EXPECT_EQ(D.Pixels, Bytes(6, 9));
    EXPECT_EQ(D.Position, int64_t(Data.size()));
    // All pixels, then the end code and more sub-blocks: those are skipped unread.
    Data = FrameData(8, PackCodes(8, {256, 1, 2, 257}), 255, false);
    Data.insert(Data.end(), {3, 0xAA, 0xBB, 0xCC, 1, 0xDD, 0});
    D = Decode(Data, 2, 1, false, 0, Trailer);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2}));
    EXPECT_EQ(D.Position, int64_t(Data.size()));
    // Codes after the last pixel (no end code) are not decoded; the data is skipped too.
    Data = FrameData(8, PackCodes(8, {256, 1, 2, 3, 4, 5, 6, 257}), 2);
    D = Decode(Data, 2, 1, false, 0, Trailer);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2}));
    EXPECT_EQ(D.Position, int64_t(Data.size()));
    EXPECT_TRUE(D.Warnings.empty());
    // A 0 x 0 frame still reads its data up to the terminator.
    Data = FrameData(8, PackCodes(8, {256, 1, 257}));
    D = Decode(Data, 0, 0, false, 0, Trailer);
    EXPECT_EQ(D.Position, int64_t(Data.size()));
    // A stream that ends right after the minimum code size: fill kept, no warning.
    D = Decode({8}, 2, 2, false, 7);
    EXPECT_EQ(D.Pixels, Bytes(4, 7));
    EXPECT_TRUE(D.Warnings.empty());
    EXPECT_EQ(D.Position, 1);
    // No data at all: nothing read.
    D = Decode({}, 2, 2, false, 7);
    EXPECT_EQ(D.Pixels, Bytes(4, 7));
    EXPECT_EQ(D.Position, 0);
}

TEST(DecoderTest, SubBlockBoundaries) {
    TRandom R(11);
    Bytes Pixels(5000);
    for (auto& P : Pixels) P = uint8_t(R.Next() % 16);
    TMemoryStream S;
    CreateGIFEncoder(cpLZW)->Encode(S, 4, 100, 50, false, Pixels.data(), 16);
    // Unpack the payload, then re-cut it: exactly 255-byte blocks, 1-byte blocks (codes then
    // straddle several blocks), and odd sizes.
    Bytes Payload;
    const Bytes& Coded = S.Bytes();
    for (size_t i = 1; Coded[i] != 0; i += Coded[i] + 1)
        Payload.insert(Payload.end(), Coded.begin() + i + 1, Coded.begin() + i + 1 + Coded[i]);
    Payload.resize(255 * (Payload.size() / 255)); // a whole number of full blocks
    for (size_t Block : {255, 1, 2, 3, 254}) {
        const TDecoded Whole = Decode(FrameData(4, Payload, 255), 100, 50);
        const TDecoded D = Decode(FrameData(4, Payload, Block), 100, 50);
        EXPECT_EQ(D.Pixels, Whole.Pixels) << Block;
        EXPECT_EQ(D.Warnings, Whole.Warnings) << Block;
        EXPECT_EQ(D.Position, int64_t(FrameData(4, Payload, Block).size())) << Block;
    }
}

TEST(DecoderTest, TruncatedData) {
    const Bytes Codes = PackCodes(8, {256, 1, 2, 3, 4, 5, 6, 7, 8, 257});
    const Bytes Pixels{1, 2, 3, 4, 5, 6, 7, 8};
    // Stops early with an end code: the rest keeps the fill, no warning, and the stream is
    // ready for the next block.
    const Bytes Short = FrameData(8, PackCodes(8, {256, 1, 2, 257}));
    TDecoded D = Decode(Short, 4, 2, false, 0xAB, {0x3B});
    EXPECT_EQ(D.Pixels, (Bytes{1, 2, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_TRUE(D.Warnings.empty());
    EXPECT_EQ(D.Position, int64_t(Short.size()));
    // Stops early without an end code: the read after the terminator under-runs, once.
    D = Decode(FrameData(8, PackCodes(8, {256, 1, 2})), 4, 2, false, 0xAB);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(D.Warnings, std::vector<std::string>{"1:Decoder bit buffer under-run"});
    // A sub-block longer than the stream: the bytes there are used, with a warning.
    Bytes Cut = FrameData(8, Codes);
    Cut.resize(1 + 1 + 5); // length byte says 11, 5 bytes follow (4 whole codes)
    D = Decode(Cut, 4, 2, false, 0xAB);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2, 3, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_EQ(D.Warnings, std::vector<std::string>{"1:Premature end of data"});
    EXPECT_EQ(D.Position, int64_t(Cut.size()));
    // The data stops after a whole sub-block with no terminator: quiet stop.
    Cut = FrameData(8, Codes, 4, false);
    Cut.resize(1 + 5);
    D = Decode(Cut, 4, 2, false, 0xAB);
    EXPECT_EQ(D.Pixels, (Bytes{1, 2, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_TRUE(D.Warnings.empty());
    // A transparent frame shows its missing pixels in the transparent index.
    D = Decode(FrameData(8, PackCodes(8, {256, 9, 257})), 2, 2, true, 5);
    EXPECT_EQ(D.Pixels, (Bytes{9, 5, 5, 5}));
}

TEST(DecoderTest, MalformedTables) {
    struct Case {
        const char* Name;
        int Root;
        std::vector<int> Codes;
        Bytes Pixels; // decoded before the end or the error
        std::string Error;
    } Cases[] = {
        // Entry 259 gets itself as prefix (the code before it was 259, beyond the table).
        {"self reference",
         8,
         {256, 5, 259, 0, 259, 257},
         {5, 5, 5, 0},
         "Circular decoder table entry"},
        // Entries 258 and 259 are each other's prefix: the string never ends.
        {"loop of two",
         8,
         {256, 259, 258, 0, 258, 257},
         {3, 0, 0, 3, 0},
         "Circular decoder table entry"},
        // A non-root code right after a clear is taken as a pixel; undefined entries read as 0;
        // after the next clear the table is sound again.
        {"garbage after clear", 8, {256, 300, 5, 256, 1, 2, 258, 257}, {44, 5, 1, 2, 1, 2}, ""},
        {"code beyond the table", 8, {256, 7, 400, 258, 257}, {7, 7, 7, 7, 7}, ""},
    };
    for (const Case& C : Cases) {
        // The copying decoder (one long row) and the table walk (interlaced) must agree.
        for (bool Interlaced : {false, true}) {
            const int32_t N = int32_t(C.Pixels.size()) + 3;
            const TDecoded D =
                Decode(FrameData(C.Root, PackCodes(C.Root, C.Codes)), N, 1, Interlaced, 0xEE);
            Bytes Expected = C.Pixels;
            Expected.resize(size_t(N), 0xEE);
            EXPECT_EQ(D.Pixels, Expected) << C.Name << " " << Interlaced;
            EXPECT_EQ(D.Error, C.Error) << C.Name;
        }
    }
    // Minimum code sizes above 11 do not fit the tables.
    for (uint8_t Root : {12, 13, 255}) {
        const TDecoded D = Decode({Root, 1, 0, 0}, 2, 2);
        EXPECT_EQ(D.Error, "Invalid GIF data") << int(Root);
        EXPECT_EQ(D.Pixels, Bytes(4, 0xEE));
    }
}

TEST(DecoderTest, ArbitraryDataStaysInBounds) {
    // Random bytes at every minimum code size: the copying decoder and the table walk give the
    // same pixels, warnings and errors, and nothing outside the buffers is touched (checked by
    // the sanitizer build).
    for (int Root = 0; Root <= 11; ++Root) {
        for (int Trial = 0; Trial < 40; ++Trial) {
            TRandom R(Root * 1000 + Trial);
            Bytes Data{uint8_t(Root)};
            const int Blocks = 1 + R.Next() % 6;
            for (int b = 0; b < Blocks; ++b) {
                const int Len = 1 + R.Next() % 255;
                Data.push_back(uint8_t(Len));
                for (int i = 0; i < Len; ++i) Data.push_back(uint8_t(R.Next()));
            }
            if (Trial % 3) Data.push_back(0);
            const int32_t N = 1 + R.Next() % 3000;
            const TDecoded A = Decode(Data, N, 1, false);
            const TDecoded B = Decode(Data, N, 1, true);
            ASSERT_EQ(A.Pixels, B.Pixels) << Root << "/" << Trial;
            ASSERT_EQ(A.Error, B.Error) << Root << "/" << Trial;
            ASSERT_EQ(A.Warnings, B.Warnings) << Root << "/" << Trial;
        }
    }
}

// Image data written by an independent encoder (giflib, see tests/data/giflib/README) decodes
// to the indices it was given: index(x, y) = (x * 7 + y * 13 + ((x / 5) ^ y)) mod colors, with
// a run of color 0 over the middle third of each row so that long strings occur.
TEST(DecoderTest, ForeignEncoderData) {
    struct Case {
        const char* File;
        int32_t Width, Height, Colors;
        bool Interlaced;
    } Cases[] = {
        {"giflib_8bit_157x93.gif", 157, 93, 256, false},
        {"giflib_4bit_64x40_interlaced.gif", 64, 40, 16, true},
        {"giflib_1bit_33x7.gif", 33, 7, 2, false},
        {"giflib_8bit_600x400.gif", 600, 400, 256, false},
    };
    for (const Case& C : Cases) {
        std::ifstream In(std::string(MORVELLAN_TEST_DATA) + "/giflib/" + C.File, std::ios::binary);
        ASSERT_TRUE(In) << C.File;
        const Bytes File((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
        // Header (6), screen descriptor (7), global table, then the image descriptor (10).
        ASSERT_GE(File.size(), 13u);
        size_t P = 13;
        if (File[10] & 0x80) P += 3u << ((File[10] & 7) + 1);
        while (File[P] == 0x21) { // extensions: label, then sub-blocks
            P += 2;
            while (File[P]) P += File[P] + 1u;
            ++P;
        }
        ASSERT_EQ(File[P], 0x2C) << C.File;
        const uint8_t Flags = File[P + 9];
        EXPECT_EQ(bool(Flags & 0x40), C.Interlaced);
        P += 10;
        if (Flags & 0x80) P += 3u << ((Flags & 7) + 1);
        const Bytes Data(File.begin() + P, File.end());
        const TDecoded D = Decode(Data, C.Width, C.Height, C.Interlaced);
        Bytes Expected(size_t(C.Width) * C.Height);
        for (int32_t y = 0; y < C.Height; ++y)
            for (int32_t x = 0; x < C.Width; ++x)
                Expected[size_t(y) * C.Width + x] =
                    (x >= C.Width / 3 && x < 2 * C.Width / 3)
                        ? 0
                        : uint8_t((x * 7 + y * 13 + ((x / 5) ^ y)) % C.Colors);
        EXPECT_EQ(D.Pixels, Expected) << C.File;
        EXPECT_TRUE(D.Warnings.empty()) << C.File;
        EXPECT_EQ(File[size_t(D.Position + int64_t(P))], 0x3B) << C.File; // trailer follows
    }
}

} // namespace
} // namespace mv

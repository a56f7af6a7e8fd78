// BMP reading over generated files of every header kind, depth, compression and row order,
// and damaged variants.
#include "platform/Bmp.h"
#include "platform/Graphics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace mv;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& B, size_t At, uint32_t V) {
    B[At] = uint8_t(V);
    B[At + 1] = uint8_t(V >> 8);
}
void Put32(Bytes& B, size_t At, uint32_t V) {
    for (int i = 0; i < 4; ++i) B[At + i] = uint8_t(V >> (8 * i));
}

// The color the test pictures have at (x, y), as 0x00BBGGRR.
COLORREF Expected(int x, int y) {
    return RGB(uint8_t(40 * x + 3), uint8_t(60 * y + 5), uint8_t(x * y * 9));
}

struct TSpec {
    const char* Name;
    uint32_t HeaderSize; // 12, 40, 108, 124
    int Bits;
    uint32_t Compression; // BI_RGB or BI_BITFIELDS
    bool TopDown;
    uint32_t Masks[3];
    uint32_t TableCount; // colors written (0: 2^bits for 8 bits or fewer)
};

// Builds a BMP of a 5 x 3 picture. Indexed pictures use a table where entry i holds color i
// of a fixed list and pixel (x, y) is index (x + 2y) mod table size.
Bytes Build(const TSpec& S, int W = 5, int H = 3) {
    const bool Core = S.HeaderSize == 12;
    uint32_t Table = S.Bits <= 8 ? (S.TableCount ? S.TableCount : (1u << S.Bits)) : 0;
    int Entry = Core ? 3 : 4;
    bool ExtraMasks = S.HeaderSize == 40 && S.Compression == BI_BITFIELDS;
    size_t Off = 14 + S.HeaderSize + (ExtraMasks ? 12 : 0) + Table * Entry;
    int Stride = ((W * S.Bits + 31) / 32) * 4;
    Bytes B(Off + size_t(Stride) * H, 0);
    B[0] = 'B', B[1] = 'M';
    Put32(B, 2, uint32_t(B.size()));
    Put32(B, 10, uint32_t(Off));
    Put32(B, 14, S.HeaderSize);
    if (Core) {
        Put16(B, 18, W);
        Put16(B, 20, H);
        Put16(B, 22, 1);
        Put16(B, 24, S.Bits);
    } else {
        Put32(B, 18, W);
        Put32(B, 22, S.TopDown ? uint32_t(-H) : uint32_t(H));
        Put16(B, 26, 1);
        Put16(B, 28, S.Bits);
        Put32(B, 30, S.Compression);
        Put32(B, 46, S.Bits <= 8 ? S.TableCount : 0);
        if (S.Compression == BI_BITFIELDS)
            for (int i = 0; i < 3; ++i) Put32(B, 54 + 4 * i, S.Masks[i]);
    }
    size_t T = 14 + S.HeaderSize + (ExtraMasks ? 12 : 0);
    for (uint32_t i = 0; i < Table; ++i) {
        COLORREF C = Expected(int(i % 5), int(i / 5));
        B[T + i * Entry] = GetBValue(C);
        B[T + i * Entry + 1] = GetGValue(C);
        B[T + i * Entry + 2] = GetRValue(C);
    }
    for (int y = 0; y < H; ++y) {
        uint8_t* Row = &B[Off + size_t(Stride) * (S.TopDown ? y : H - 1 - y)];
        for (int x = 0; x < W; ++x) {
            COLORREF C = Expected(x, y);
            uint32_t Idx = Table ? (x + 2 * y) % Table : 0;
            switch (S.Bits) {
            case 1:
                Row[x / 8] |= uint8_t(Idx << (7 - x % 8));
                break;
            case 4:
                Row[x / 2] |= uint8_t(Idx << (x % 2 ? 0 : 4));
                break;
            case 8:
                Row[x] = uint8_t(Idx);
                break;
            case 16:
            case 32: {
                uint32_t M[3] = {0x7C00, 0x3E0, 0x1F};
                if (S.Bits == 32) M[0] = 0xFF0000, M[1] = 0xFF00, M[2] = 0xFF;
                if (S.Compression == BI_BITFIELDS) std::memcpy(M, S.Masks, sizeof M);
                uint8_t Ch[3] = {GetRValue(C), GetGValue(C), GetBValue(C)};
                uint32_t V = 0;
                for (int c = 0; c < 3; ++c) {
                    int Shift = __builtin_ctz(M[c]);
                    uint32_t Max = M[c] >> Shift;
                    V |= ((Ch[c] * Max + 127) / 255) << Shift;
                }
                for (int k = 0; k < S.Bits / 8; ++k)
                    Row[x * (S.Bits / 8) + k] = uint8_t(V >> (8 * k));
                break;
            }
            case 24:
                Row[3 * x] = GetBValue(C);
                Row[3 * x + 1] = GetGValue(C);
                Row[3 * x + 2] = GetRValue(C);
                break;
            }
        }
    }
    return B;
}

std::unique_ptr<TBitmap> Load(const Bytes& B) {
    TMemoryStream S;
    S.WriteBuffer(B.data(), int64_t(B.size()));
    S.SetPosition(0);
    auto Bmp = std::make_unique<TBitmap>();
    Bmp->LoadFromStream(S);
    return Bmp;
}

// A channel value that went through a mask of Bits bits and back.
int Quantized(int V, int Bits) {
    int Max = (1 << Bits) - 1;
    int Q = (V * Max + 127) / 255;
    return (Q * 255 + Max / 2) / Max;
}

std::string LoadError(const Bytes& B) {
    try {
        Load(B);
    } catch (const EInvalidGraphic& E) {
        return E.what();
    }
    return "";
}

} // namespace

class BmpRead : public testing::TestWithParam<TSpec> {};

TEST_P(BmpRead, GivesTheRightPixels) {
    const TSpec& S = GetParam();
    auto B = Load(Build(S));
    ASSERT_EQ(B->Width(), 5);
    ASSERT_EQ(B->Height(), 3);
    uint32_t Table = S.Bits <= 8 ? (S.TableCount ? S.TableCount : (1u << S.Bits)) : 0;
    int Bits[3] = {8, 8, 8};
    if (S.Bits == 16 || (S.Bits == 32 && S.Compression == BI_BITFIELDS)) {
        uint32_t M[3] = {0x7C00, 0x3E0, 0x1F};
        if (S.Compression == BI_BITFIELDS) std::memcpy(M, S.Masks, sizeof M);
        for (int c = 0; c < 3; ++c) Bits[c] = __builtin_popcount(M[c]);
    }
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            COLORREF Want;
            if (Table) {
                uint32_t i = (x + 2 * y) % Table;
                Want = Expected(int(i % 5), int(i / 5));
            } else {
                COLORREF C = Expected(x, y);
                Want = RGB(uint8_t(Quantized(GetRValue(C), Bits[0])),
                           uint8_t(Quantized(GetGValue(C), Bits[1])),
                           uint8_t(Quantized(GetBValue(C), Bits[2])));
            }
            ASSERT_EQ(COLORREF(B->Canvas().Pixels(x, y)), Want)
                << S.Name << " at " << x << "," << y;
        }
}

// The same file as a two-piece stream (headers, then a pixel block of its own, which the reader
// takes over where it can) gives the same bitmap as from one memory stream.
TEST_P(BmpRead, FromATwoPieceStreamAsFromMemory) {
    const Bytes File = Build(GetParam());
    uint32_t Off;
    std::memcpy(&Off, &File[10], 4);
    const int64_t PixelBytes = int64_t(File.size()) - Off;
    auto Pixels = std::make_unique<uint8_t[]>(size_t(PixelBytes));
    std::memcpy(Pixels.get(), File.data() + Off, size_t(PixelBytes));
    TBMPImageStream S(Bytes(File.begin(), File.begin() + Off), std::move(Pixels), PixelBytes);
    ASSERT_EQ(S.Size(), int64_t(File.size()));
    TBitmap FromPieces;
    FromPieces.LoadFromStream(S);
    EXPECT_EQ(S.Position(), S.Size());
    auto FromMemory = Load(File);
    ASSERT_EQ(FromPieces.Width(), FromMemory->Width());
    ASSERT_EQ(FromPieces.PixelFormat(), FromMemory->PixelFormat());
    EXPECT_EQ(FromPieces.Handle()->ColorTable, FromMemory->Handle()->ColorTable);
    for (int y = 0; y < FromMemory->Height(); ++y)
        ASSERT_EQ(0, std::memcmp(FromPieces.ScanLine(y), FromMemory->ScanLine(y),
                                 size_t(FromMemory->Handle()->Stride)))
            << y;
}

const TSpec Specs[] = {
    {"core1", 12, 1, BI_RGB, false, {}, 0},
    {"core4", 12, 4, BI_RGB, false, {}, 0},
    {"core8", 12, 8, BI_RGB, false, {}, 0},
    {"core24", 12, 24, BI_RGB, false, {}, 0},
    {"info1", 40, 1, BI_RGB, false, {}, 0},
    {"info4", 40, 4, BI_RGB, false, {}, 0},
    {"info4short", 40, 4, BI_RGB, false, {}, 9},
    {"info8", 40, 8, BI_RGB, false, {}, 0},
    {"info8short", 40, 8, BI_RGB, true, {}, 12},
    {"info16", 40, 16, BI_RGB, false, {}, 0},
    {"info16topdown", 40, 16, BI_RGB, true, {}, 0},
    {"info16_565", 40, 16, BI_BITFIELDS, false, {0xF800, 0x7E0, 0x1F}, 0},
    {"info16_444", 40, 16, BI_BITFIELDS, false, {0xF00, 0xF0, 0xF}, 0},
    {"info24", 40, 24, BI_RGB, false, {}, 0},
    {"info24topdown", 40, 24, BI_RGB, true, {}, 0},
    {"info32", 40, 32, BI_RGB, false, {}, 0},
    {"info32fields", 40, 32, BI_BITFIELDS, true, {0xFF0000, 0xFF00, 0xFF}, 0},
    {"info32_101010", 40, 32, BI_BITFIELDS, false, {0x3FF00000, 0xFFC00, 0x3FF}, 0},
    {"v4_8", 108, 8, BI_RGB, false, {}, 0},
    {"v4_16_565", 108, 16, BI_BITFIELDS, true, {0xF800, 0x7E0, 0x1F}, 0},
    {"v4_32", 108, 32, BI_BITFIELDS, false, {0xFF0000, 0xFF00, 0xFF}, 0},
    {"v5_24", 124, 24, BI_RGB, true, {}, 0},
    {"v5_32bgr", 124, 32, BI_BITFIELDS, false, {0xFF, 0xFF00, 0xFF0000}, 0},
    {"v5_1", 124, 1, BI_RGB, true, {}, 0},
};
INSTANTIATE_TEST_SUITE_P(Files, BmpRead, testing::ValuesIn(Specs),
                         [](const auto& I) { return std::string(I.param.Name); });

TEST(BmpRead, FormatsOfWhatWasRead) {
    EXPECT_EQ(Load(Build(Specs[7]))->PixelFormat(), pf8bit);
    EXPECT_EQ(Load(Build(Specs[9]))->PixelFormat(), pf15bit);
    EXPECT_EQ(Load(Build(Specs[11]))->PixelFormat(), pf16bit);
    EXPECT_EQ(Load(Build(Specs[12]))->PixelFormat(), pf32bit); // unusual masks are expanded
    EXPECT_EQ(Load(Build(Specs[13]))->PixelFormat(), pf24bit);
    // A short table stays short.
    auto B = Load(Build(Specs[6]));
    EXPECT_EQ(B->Image()->ColorTable.size(), 9u);
}

namespace {

// An 8-bit RLE file of W x H with the given data and a 4-color table (0 black, 1 red,
// 2 green, 3 blue).
Bytes RLEFile(int W, int H, const Bytes& Data, bool Four = false) {
    Bytes B(14 + 40 + 16, 0);
    B[0] = 'B', B[1] = 'M';
    Put32(B, 10, 14 + 40 + 16);
    Put32(B, 14, 40);
    Put32(B, 18, W);
    Put32(B, 22, H);
    Put16(B, 26, 1);
    Put16(B, 28, Four ? 4 : 8);
    Put32(B, 30, Four ? BI_RLE4 : BI_RLE8);
    Put32(B, 34, uint32_t(Data.size()));
    Put32(B, 46, 4);
    const uint8_t T[16] = {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
    std::memcpy(&B[54], T, 16);
    size_t At = B.size();
    B.resize(At + Data.size());
    if (!Data.empty()) std::memcpy(&B[At], Data.data(), Data.size());
    Put32(B, 2, uint32_t(B.size()));
    return B;
}

std::vector<std::vector<int>> Indices(TBitmap& B) {
    std::vector<std::vector<int>> R;
    for (int y = 0; y < B.Height(); ++y) {
        std::vector<int> Row;
        auto* P = static_cast<uint8_t*>(B.ScanLine(y));
        for (int x = 0; x < B.Width(); ++x)
            Row.push_back(B.Image()->BitCount == 4 ? (P[x / 2] >> (x % 2 ? 0 : 4)) & 15 : P[x]);
        R.push_back(Row);
    }
    return R;
}

} // namespace

TEST(BmpRLE, EightBitRunsAbsoluteDeltaAndEnd) {
    // Bottom row: run of 2 x 1, absolute 3 pixels (2, 3, 1) padded, end of line.
    // Middle row: delta (1, 1) from (0, 1) jumps to (1, 2): top row gets run 2 x 3, end.
    Bytes D = {2, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 1, 1, 2, 3, 0, 1};
    auto B = Load(RLEFile(5, 3, D));
    EXPECT_EQ(B->PixelFormat(), pf8bit);
    std::vector<std::vector<int>> Want = {{0, 3, 3, 0, 0}, {0, 0, 0, 0, 0}, {1, 1, 2, 3, 1}};
    EXPECT_EQ(Indices(*B), Want);
}

TEST(BmpRLE, FourBitRuns) {
    // Bottom row: run of 5 alternating 1,2 (0x12), end of line; top row absolute 3: 3,0,1.
    Bytes D = {5, 0x12, 0, 0, 0, 3, 0x30, 0x10, 0, 1};
    auto B = Load(RLEFile(5, 2, D, true));
    EXPECT_EQ(B->PixelFormat(), pf4bit);
    std::vector<std::vector<int>> Want = {{3, 0, 1, 0, 0}, {1, 2, 1, 2, 1}};
    EXPECT_EQ(Indices(*B), Want);
}

TEST(BmpDamaged, EveryTruncationIsACleanError) {
    for (const TSpec& S : {Specs[1], Specs[7], Specs[13], Specs[21]}) {
        Bytes Full = Build(S);
        // Only the padding of the last row may be missing.
        size_t Stride = ((5 * S.Bits + 31) / 32) * 4, Last = (5 * S.Bits + 7) / 8;
        for (size_t L = 0; L < Full.size() - (Stride - Last); ++L) {
            Bytes Cut(Full.begin(), Full.begin() + L);
            if (L == 0) continue; // an empty stream is an empty bitmap
            std::string E = LoadError(Cut);
            EXPECT_FALSE(E.empty()) << S.Name << " cut at " << L;
        }
    }
    Bytes RLE = RLEFile(5, 3, {2, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 1, 1, 2, 3, 0, 1});
    for (size_t L = 14; L < RLE.size() - 2; ++L)
        EXPECT_FALSE(LoadError(Bytes(RLE.begin(), RLE.begin() + L)).empty()) << L;
}

TEST(BmpDamaged, MessagesNameTheNumbers) {
    TSpec S = Specs[13];
    Bytes B = Build(S);
    B.resize(54);
    Put32(B, 2, 54);
    Put32(B, 18, 60000);
    Put32(B, 22, 60000);
    EXPECT_EQ(LoadError(B), "BMP header claims 60000 x 60000 pixels from a 54-byte file");

    Bytes Off = Build(S);
    Put32(Off, 10, 5000);
    EXPECT_EQ(LoadError(Off), "BMP pixel data offset 5000 lies beyond the 102-byte file");

    Bytes Colors = Build(Specs[7]);
    Put32(Colors, 46, 1000000);
    EXPECT_EQ(LoadError(Colors), "BMP color table claims 1000000 colors for 8 bits per pixel");

    Bytes Huge = RLEFile(200000, 200000, {0, 1});
    EXPECT_EQ(LoadError(Huge), "BMP header claims 200000 x 200000 pixels from 2 bytes of RLE data");
}

TEST(BmpDamaged, StructuralErrorsTable) {
    struct TCase {
        const char* Name;
        std::function<void(Bytes&)> Damage;
    } Cases[] = {
        {"signature", [](Bytes& B) { B[0] = 'X'; }},
        {"header size", [](Bytes& B) { Put32(B, 14, 7); }},
        {"zero width", [](Bytes& B) { Put32(B, 18, 0); }},
        {"negative width", [](Bytes& B) { Put32(B, 18, uint32_t(-5)); }},
        {"zero height", [](Bytes& B) { Put32(B, 22, 0); }},
        {"bit count", [](Bytes& B) { Put16(B, 28, 7); }},
        {"compression", [](Bytes& B) { Put32(B, 30, 9); }},
        {"jpeg", [](Bytes& B) { Put32(B, 30, BI_JPEG); }},
        {"rle8 at 24 bits", [](Bytes& B) { Put32(B, 30, BI_RLE8); }},
        {"bitfields at 24 bits", [](Bytes& B) { Put32(B, 30, BI_BITFIELDS); }},
        {"side too large", [](Bytes& B) { Put32(B, 18, 1u << 30); }},
        {"int min height", [](Bytes& B) { Put32(B, 22, 0x80000000u); }},
    };
    for (const TCase& C : Cases) {
        Bytes B = Build(Specs[13]);
        C.Damage(B);
        EXPECT_FALSE(LoadError(B).empty()) << C.Name;
    }
    Bytes M = Build(Specs[11]);
    Put32(M, 54, 0xF0F0); // a mask with a gap
    EXPECT_FALSE(LoadError(M).empty());
    Bytes O = Build(Specs[11]);
    Put32(O, 58, 0xFC00); // masks overlap
    EXPECT_FALSE(LoadError(O).empty());
}

TEST(BmpDamaged, RLEOffThePicture) {
    const Bytes Cases[] = {
        {6, 1, 0, 1},                   // a run longer than the row
        {0, 7, 1, 1, 1, 1, 1, 1, 1, 0}, // an absolute run longer than the row
        {0, 2, 9, 0, 1, 1, 0, 1},       // a delta past the right edge
        {0, 2, 0, 5, 1, 1, 0, 1},       // a delta past the top
        {0, 0, 0, 0, 0, 0, 2, 1, 0, 1}, // pixels after the last row
        {2, 1},                         // data ends early
    };
    for (const Bytes& D : Cases) EXPECT_FALSE(LoadError(RLEFile(5, 3, D)).empty());
    // Top-down RLE does not exist.
    Bytes T = RLEFile(5, 3, {0, 1});
    Put32(T, 22, uint32_t(-3));
    EXPECT_FALSE(LoadError(T).empty());
}

TEST(BmpDamaged, OffsetInsideTheHeaderFallsBackToTheTable) {
    Bytes B = Build(Specs[13]);
    Put32(B, 10, 20); // points into the header
    auto Bmp = Load(B);
    EXPECT_EQ(COLORREF(Bmp->Canvas().Pixels(4, 2)), Expected(4, 2));
}

TEST(BmpDamaged, MissingPaddingOfTheLastRowIsAccepted) {
    Bytes B = Build(Specs[13]); // 5 pixels: 15 bytes of a 16-byte row
    B.pop_back();
    auto Bmp = Load(B);
    EXPECT_EQ(COLORREF(Bmp->Canvas().Pixels(4, 0)), Expected(4, 0));
}

TEST(BmpWrite, StandardHeaderAndTable) {
    TBitmap B(3, 2, pf8bit);
    TMemoryStream S;
    B.SaveToStream(S);
    const uint8_t* P = S.Memory();
    ASSERT_EQ(S.Size(), 14 + 40 + 1024 + 8);
    EXPECT_EQ(P[0], 'B');
    EXPECT_EQ(P[1], 'M');
    uint32_t V;
    std::memcpy(&V, P + 2, 4);
    EXPECT_EQ(V, 14u + 40 + 1024 + 8);
    std::memcpy(&V, P + 10, 4);
    EXPECT_EQ(V, 14u + 40 + 1024);
    std::memcpy(&V, P + 46, 4);
    EXPECT_EQ(V, 256u);
    EXPECT_EQ(P[28], 8);
    // Entry 19 of the halftone table: (0, 0, 153) -> blue first.
    EXPECT_EQ(P[54 + 4 * (10 + 3)], 153);

    TBitmap E; // an empty bitmap writes nothing and loads back empty
    TMemoryStream S2;
    E.SaveToStream(S2);
    EXPECT_EQ(S2.Size(), 0);
    S2.SetPosition(0);
    TBitmap F(2, 2, pf24bit);
    F.LoadFromStream(S2);
    EXPECT_TRUE(F.Empty());
}

TEST(BmpRead, DIBFromMemory) {
    Bytes B = Build(Specs[7]);
    HBITMAP H = ReadDIB(B.data() + 14, B.size() - 14);
    ASSERT_TRUE(H);
    EXPECT_EQ(H->Width, 5);
    EXPECT_EQ(H->PixelColor(4, 2), Expected(int(((4 + 4) % 256) % 5), int(((4 + 4) % 256) / 5)));
    EXPECT_THROW(ReadDIB(B.data() + 14, 30), EInvalidGraphic);
}

TEST(BmpDamaged, MutatedFilesGiveAPictureOrACleanError) {
    // Random damage to the headers and tables of valid files: never a crash, a hang or an
    // allocation out of proportion (the sanitizer build checks the memory side).
    std::vector<Bytes> Seeds = {
        Build(Specs[1]),
        Build(Specs[7]),
        Build(Specs[11]),
        Build(Specs[19]),
        RLEFile(5, 3, {2, 1, 0, 3, 2, 3, 1, 0, 0, 0, 0, 2, 1, 1, 2, 3, 0, 1}),
        RLEFile(5, 2, {5, 0x12, 0, 0, 0, 3, 0x30, 0x10, 0, 1}, true)};
    uint32_t State = 12345;
    auto Next = [&] {
        State = State * 1103515245u + 12345u;
        return State >> 8;
    };
    int Pictures = 0, Errors = 0;
    for (int Round = 0; Round < 4000; ++Round) {
        Bytes B = Seeds[Round % Seeds.size()];
        int Changes = 1 + int(Next() % 4);
        for (int c = 0; c < Changes; ++c) {
            size_t At = Next() % std::min<size_t>(B.size(), 80);
            B[At] = uint8_t(Next());
        }
        if (Next() % 5 == 0) B.resize(Next() % B.size());
        try {
            auto P = Load(B);
            ++Pictures;
            if (!P->Empty()) P->Canvas().Pixels(P->Width() - 1, P->Height() - 1);
        } catch (const EInvalidGraphic&) {
            ++Errors;
        }
    }
    EXPECT_GT(Pictures, 0);
    EXPECT_GT(Errors, 0);
}

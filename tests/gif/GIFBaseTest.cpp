#include "gif/GIFBase.h"
#include "gif/GIFImage.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

using namespace mv;

namespace {

std::vector<uint8_t> Bytes(const TMemoryStream& S) {
    return S.Bytes();
}

TMemoryStream StreamOf(std::initializer_list<uint8_t> B) {
    TMemoryStream S;
    std::vector<uint8_t> V(B);
    S.WriteBuffer(V.data(), static_cast<int64_t>(V.size()));
    S.SetPosition(0);
    return S;
}

// A minimal concrete item: writes and reads one byte.
class TByteItem : public TGIFItem {
public:
    using TGIFItem::TGIFItem;
    ~TByteItem() override {
        if (List) List->Detach(this);
        ++Destroyed;
    }
    void SaveToStream(TStream& S) override { WriteOneByte(S, Value); }
    void LoadFromStream(TStream& S) override { ReadExact(S, &Value, 1); }
    uint8_t Value = 0;
    TGIFList* List = nullptr;
    static int Destroyed;
};
int TByteItem::Destroyed = 0;

class TByteList : public TGIFList {
public:
    using TGIFList::TGIFList;
    void LoadFromStream(TStream&, TObject*) override {}
};

} // namespace

TEST(TextBlocks, WriteGivesTheDocumentedBytes) {
    std::string L300(300, 'x');
    for (int i = 0; i < 300; ++i) L300[i] = static_cast<char>('a' + i % 26);
    struct Case {
        std::vector<std::string> Lines;
        std::vector<uint8_t> Expected;
    };
    std::vector<Case> Cases = {
        {{"ab", ""}, {0x02, 0x61, 0x62, 0x00}},
        {{}, {0x00}},
        {{"", ""}, {0x00}},
        {{"a", "b"}, {0x01, 'a', 0x01, 'b', 0x00}},
    };
    {
        std::vector<uint8_t> E = {0xFF};
        E.insert(E.end(), L300.begin(), L300.begin() + 255);
        E.push_back(0x2D);
        E.insert(E.end(), L300.begin() + 255, L300.end());
        E.push_back(0x00);
        Cases.push_back({{L300}, E});
    }
    {
        std::string L255(255, 'q');
        std::vector<uint8_t> E = {0xFF};
        E.insert(E.end(), L255.begin(), L255.end());
        E.push_back(0);
        Cases.push_back({{L255}, E});
    }
    for (const Case& C : Cases) {
        TStringList Lines;
        for (const auto& L : C.Lines) Lines.Add(L);
        TMemoryStream S;
        WriteTextBlocks(S, Lines);
        EXPECT_EQ(Bytes(S), C.Expected) << C.Lines.size() << " lines";
    }
    // Reading the 300-byte line back gives one line per sub-block.
    TStringList Lines, Back;
    Lines.Add(L300);
    TMemoryStream S;
    WriteTextBlocks(S, Lines);
    S.SetPosition(0);
    ReadTextBlocks(S, Back);
    ASSERT_EQ(Back.Count(), 2);
    EXPECT_EQ(Back[0], L300.substr(0, 255));
    EXPECT_EQ(Back[1], L300.substr(255));
}

TEST(TextBlocks, ReadCutsAtZeroStopsAtEndAndRaisesOnShortBlocks) {
    TStringList Lines;
    Lines.Add("stale");
    TMemoryStream Empty;
    ReadTextBlocks(Empty, Lines);
    EXPECT_EQ(Lines.Count(), 0);

    auto S1 = StreamOf({0x03, 0x41, 0x00, 0x42, 0x00});
    ReadTextBlocks(S1, Lines);
    ASSERT_EQ(Lines.Count(), 1);
    EXPECT_EQ(Lines[0], "A");

    // A missing length byte after a block ends the text quietly.
    auto S2 = StreamOf({0x01, 0x41});
    ReadTextBlocks(S2, Lines);
    ASSERT_EQ(Lines.Count(), 1);

    auto S3 = StreamOf({0x05, 0x41, 0x42});
    try {
        ReadTextBlocks(S3, Lines);
        FAIL();
    } catch (const GIFException& E) {
        EXPECT_STREQ(E.what(), "Premature end of data");
    }
}

TEST(Primitives, ReadOneByteSignalsTheEndAndReadExactIsStrict) {
    auto S = StreamOf({7});
    uint8_t V;
    EXPECT_TRUE(ReadOneByte(S, V));
    EXPECT_EQ(V, 7);
    EXPECT_FALSE(ReadOneByte(S, V));
    EXPECT_EQ(ReadOneByte(S), 0);

    auto T = StreamOf({1, 2, 3});
    uint8_t Buf[4] = {};
    EXPECT_THROW(ReadExact(T, Buf, 4), GIFException);
    EXPECT_EQ(Buf[2], 3); // what arrived stays
}

TEST(Primitives, ReadExactOfAMissingTailOfAFileRaises) {
    std::string Path =
        (std::filesystem::temp_directory_path() / ("mv-gifbase." + std::to_string(getpid())))
            .string();
    {
        TFileStream F(Path, fmCreate);
        F.WriteBuffer("0123456789", 10);
    }
    TFileStream F(Path, fmOpenRead);
    char Buf[16];
    ReadExact(F, Buf, 6);
    EXPECT_THROW(ReadExact(F, Buf, 6), GIFException);
    std::remove(Path.c_str());
}

TEST(Arithmetic, BitsForColorCountAndRowBytes) {
    const std::pair<int, int> Bits[] = {{0, 0},  {1, 1},   {2, 1},   {3, 2},  {16, 4},
                                        {17, 5}, {128, 7}, {129, 8}, {256, 8}};
    for (auto [Count, N] : Bits) EXPECT_EQ(BitsForColorCount(Count), N) << Count;
    struct Case {
        int W, Bpp, Align, R;
    } Rows[] = {{3, 1, 32, 4},  {10, 8, 32, 12}, {10, 24, 32, 32}, {0, 8, 32, 0},
                {1, 24, 32, 4}, {17, 1, 16, 4},  {9, 4, 8, 5}};
    for (const Case& C : Rows) EXPECT_EQ(RowBytes(C.W, C.Bpp, C.Align), C.R) << C.W;
}

TEST(Errors, RequireGDIHandleUsesTheLastErrorText) {
    EXPECT_EQ(RequireGDIHandle(42u), 42u);
    SetLastError(0);
    try {
        RequireGDIHandle(0u);
        FAIL();
    } catch (const EOutOfResources& E) {
        EXPECT_STREQ(E.what(), "Out of system resources");
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    try {
        RequireGDIHandle(0u);
        FAIL();
    } catch (const EOutOfResources& E) {
        EXPECT_EQ(E.Message(), SystemErrorText(ERROR_NOT_ENOUGH_MEMORY));
    }
    SetLastError(0);
    EXPECT_THROW(RaiseGIFError("x"), EInvalidGraphic);
    EXPECT_EQ(std::string(GIFMessageTable[0]), "Invalid reduction method");
    EXPECT_EQ(std::string(GIFMessageTable[GIFMessageCount - 2]),
              "Unsupported Application Extension block size");
}

TEST(Items, WarningsReachTheImageOrAreDropped) {
    TByteItem Orphan(nullptr);
    EXPECT_NO_THROW(Orphan.ReportWarning(1, "dropped"));

    TGIFImage Image;
    TByteItem Item(&Image);
    Item.ReportWarning(1, "no handler set"); // changes nothing, raises nothing
    std::vector<std::tuple<TObject*, int, std::string>> Seen;
    Image.OnWarningReport = [&](TObject* Sender, uint8_t Severity, const std::string& M) {
        Seen.emplace_back(Sender, Severity, M);
    };
    Item.ReportWarning(1, gifmsg::BadTrailer);
    TByteList List(&Image);
    List.ReportWarning(1, gifmsg::UnknownBlockType);
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(std::get<0>(Seen[0]), &Item);
    EXPECT_EQ(std::get<2>(Seen[0]), "Invalid Image trailer");
    EXPECT_EQ(std::get<0>(Seen[1]), &List);
    EXPECT_EQ(std::get<1>(Seen[1]), 1);
}

TEST(Lists, OwnDetachDeleteAndSaveInOrder) {
    TByteItem::Destroyed = 0;
    TByteList List(nullptr);
    for (uint8_t V : {10, 20, 30}) {
        auto Item = std::make_unique<TByteItem>(nullptr);
        Item->Value = V;
        Item->List = &List;
        List.Append(std::move(Item));
    }
    TMemoryStream S;
    List.SaveToStream(S);
    EXPECT_EQ(S.Bytes(), (std::vector<uint8_t>{10, 20, 30}));
    EXPECT_THROW(List.Items(3), EListError);

    // Detach hands the item over without freeing it.
    std::unique_ptr<TGIFItem> Taken(List.Items(1));
    EXPECT_EQ(List.Detach(Taken.get()), 1);
    EXPECT_EQ(List.Detach(Taken.get()), -1);
    static_cast<TByteItem*>(Taken.get())->List = nullptr;
    EXPECT_EQ(List.Count(), 2);

    // An item destroyed while in the list takes itself out.
    delete List.Items(0);
    EXPECT_EQ(List.Count(), 1);
    List.DeleteAt(0);
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(TByteItem::Destroyed, 2);
    EXPECT_THROW(List.DeleteAt(0), EListError);
}

TEST(Items, SaveAndLoadThroughPaths) {
    std::string Path =
        (std::filesystem::temp_directory_path() / ("mv-item." + std::to_string(getpid()))).string();
    TByteItem A(nullptr), B(nullptr);
    A.Value = 0x5A;
    A.SaveToPath(Path);
    B.LoadFromPath(Path);
    EXPECT_EQ(B.Value, 0x5A);
    { TFileStream F(Path, fmCreate); }
    EXPECT_THROW(B.LoadFromPath(Path), GIFException); // the file is closed on the way out
    std::remove(Path.c_str());
    EXPECT_THROW(B.LoadFromPath(Path), EFOpenError);
}

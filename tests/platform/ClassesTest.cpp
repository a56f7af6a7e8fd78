#include "platform/Classes.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace mv;

namespace {

class TNamed : public TPersistent {
public:
    explicit TNamed(std::string Name) : FName(std::move(Name)) {}
    std::string ClassName() const override { return FName; }

private:
    std::string FName;
};

std::string TempPath(const std::string& Name) {
    return (std::filesystem::temp_directory_path() / (Name + "." + std::to_string(getpid())))
        .string();
}

std::vector<uint8_t> ReadAll(const std::string& Path) {
    std::ifstream F(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(F), {}};
}

} // namespace

TEST(Persistent, DefaultAssignNamesSourceAndTarget) {
    TNamed Src("TStringList"), Dst("TGIFSubImage");
    try {
        Dst.Assign(&Src);
        FAIL() << "no exception";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a TStringList to a TGIFSubImage");
    }
    try {
        Dst.Assign(nullptr);
        FAIL() << "no exception";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Cannot assign a nil to a TGIFSubImage");
    }
}

TEST(Exceptions, HierarchyAndMessages) {
    try {
        throw EOutOfResources("Out of system resources");
    } catch (const EOutOfMemory& E) {
        EXPECT_EQ(E.Message(), "Out of system resources");
        EXPECT_EQ(E.ClassName(), "EOutOfResources");
    }
    EXPECT_THROW(throw EReadError("x"), EStreamError);
    EXPECT_THROW(Abort(), EAbort);
}

TEST(MemoryStream, ReadWriteSeekAndStrictTransfers) {
    TMemoryStream S;
    const uint8_t Data[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(S.Write(Data, 5), 5);
    EXPECT_EQ(S.Size(), 5);
    EXPECT_EQ(S.Seek(-2, soEnd), 3);
    uint8_t Buf[8] = {};
    EXPECT_EQ(S.Read(Buf, 8), 2);
    EXPECT_EQ(Buf[0], 4);
    EXPECT_EQ(S.Read(Buf, 1), 0);
    S.SetPosition(1);
    S.ReadBuffer(Buf, 4);
    EXPECT_THROW(S.ReadBuffer(Buf, 1), EReadError);
    // Writing past the end grows the stream; the gap reads as zeros.
    S.SetPosition(8);
    S.WriteBuffer(Data, 1);
    EXPECT_EQ(S.Size(), 9);
    EXPECT_EQ(S.Memory()[6], 0);
    S.SetSize(2);
    EXPECT_EQ(S.Position(), 2);
}

TEST(FileStream, CreateReplacesAndReadsBack) {
    std::string Path = TempPath("morvellan-fs");
    { std::ofstream(Path) << "old contents that are longer"; }
    {
        TFileStream F(Path, fmCreate);
        F.WriteBuffer("abc", 3);
        EXPECT_EQ(F.Size(), 3);
    }
    EXPECT_EQ(ReadAll(Path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    {
        TFileStream F(Path, fmOpenRead | fmShareDenyWrite);
        char B[4] = {};
        EXPECT_EQ(F.Read(B, 4), 3);
        EXPECT_EQ(F.Seek(1, soBeginning), 1);
        EXPECT_EQ(F.Read(B, 1), 1);
        EXPECT_EQ(B[0], 'b');
    }
    std::remove(Path.c_str());
    try {
        TFileStream F(Path + ".missing/x", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& E) {
        EXPECT_NE(std::string(E.what()).find("Cannot open file"), std::string::npos);
    }
}

TEST(FileStream, ByteReadsAreBufferedAndMixedSeeksStayConsistent) {
    std::string Path = TempPath("morvellan-buf");
    std::vector<uint8_t> Bytes(1 << 20);
    for (size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    {
        TFileStream F(Path, fmCreate);
        for (uint8_t B : Bytes) F.Write(&B, 1);
        EXPECT_LT(F.SystemCalls(), Bytes.size() / 1000);
    }
    TFileStream F(Path, fmOpenReadWrite);
    uint64_t Sum = 0, Expected = 0;
    for (size_t i = 0; i < Bytes.size(); ++i) {
        uint8_t B;
        ASSERT_EQ(F.Read(&B, 1), 1);
        Sum += B;
        Expected += Bytes[i];
    }
    EXPECT_EQ(Sum, Expected);
    EXPECT_LT(F.SystemCalls(), Bytes.size() / 1000);
    // Read, write in the middle, read on: the stream position stays logical.
    F.SetPosition(100);
    uint8_t B;
    F.Read(&B, 1);
    EXPECT_EQ(B, Bytes[100]);
    F.Write("\xAA", 1);
    EXPECT_EQ(F.Position(), 102);
    F.Read(&B, 1);
    EXPECT_EQ(B, Bytes[102]);
    F.SetPosition(101);
    F.Read(&B, 1);
    EXPECT_EQ(B, 0xAA);
    std::remove(Path.c_str());
}

TEST(AtomicFileStream, KeepsTheOldFileUntilCommit) {
    std::string Path = TempPath("morvellan-atomic");
    { std::ofstream(Path) << "old"; }
    {
        TAtomicFileStream F(Path);
        F.WriteBuffer("new", 3);
        EXPECT_EQ(ReadAll(Path), (std::vector<uint8_t>{'o', 'l', 'd'}));
        // Destroyed without Commit: the old file stays, the temporary goes.
    }
    EXPECT_EQ(ReadAll(Path), (std::vector<uint8_t>{'o', 'l', 'd'}));
    for (auto& E : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
        EXPECT_EQ(E.path().string().find(ExtractFileName(Path) + "."), std::string::npos)
            << E.path();
    {
        TAtomicFileStream F(Path);
        F.WriteBuffer("new!", 4);
        F.Commit();
    }
    EXPECT_EQ(ReadAll(Path), (std::vector<uint8_t>{'n', 'e', 'w', '!'}));
    std::remove(Path.c_str());
}

TEST(AtomicFileStream, AFileThatCannotBeMadeIsNamedAsAsked) {
    const std::string Path = "/nonexistent-morvellan-dir/seal.gif";
    try {
        TAtomicFileStream F(Path);
        FAIL() << "created";
    } catch (const EFCreateError& E) {
        EXPECT_EQ(std::string(E.what()).rfind("Cannot create file \"" + Path + "\". ", 0), 0u)
            << E.what();
    }
}

TEST(Lists, IndexErrorsAndOrder) {
    int A = 1, B = 2, C = 3;
    TList<int> L;
    L.Add(&A);
    L.Add(&C);
    L.Insert(1, &B);
    EXPECT_EQ(*L[1], 2);
    EXPECT_EQ(L.IndexOf(&C), 2);
    EXPECT_EQ(L.Remove(&A), 0);
    EXPECT_EQ(L.Count(), 2);
    EXPECT_THROW(L.Items(2), EListError);
    EXPECT_THROW(L.Items(-1), EListError);
    EXPECT_THROW(L.Insert(5, &A), EListError);
    try {
        L.Delete(7);
    } catch (const EListError& E) {
        EXPECT_STREQ(E.what(), "List index out of bounds (7)");
    }
}

TEST(Strings, AddIndexTextAndAssign) {
    TStringList S;
    S.Add("a");
    S.Add("");
    S.Add("c");
    EXPECT_EQ(S.Count(), 3);
    EXPECT_EQ(S.Text(), "a\r\n\r\nc\r\n");
    EXPECT_THROW(S.Strings(3), EListError);
    TStringList T;
    T.SetText("x\r\ny\nz");
    EXPECT_EQ(T.Count(), 3);
    EXPECT_EQ(T[2], "z");
    T.Assign(&S);
    EXPECT_EQ(T.Count(), 3);
    EXPECT_EQ(T[0], "a");
    TNamed Other("TBitmap");
    EXPECT_THROW(T.Assign(&Other), EConvertError);
}

#include "platform/SysUtils.h"

#include <gtest/gtest.h>

using namespace mv;

TEST(FileNames, ChangeFileExtFollowsThePlatform) {
    struct Case {
        const char* In;
        const char* Out;
    } Cases[] = {
        {"seal.jpg", "seal.gif"},
        {"A001", "A001.gif"},
        {"a.b.c", "a.b.gif"},
        {"dir.v2/seal", "dir.v2/seal.gif"},
        {"dir.v2/seal.bmp", "dir.v2/seal.gif"},
        {"x.", "x.gif"},
        {".hidden", ".gif"},
    };
    for (const Case& C : Cases) EXPECT_EQ(ChangeFileExt(C.In, ".gif"), C.Out) << C.In;
    EXPECT_EQ(ExtractFileName("/a/b.c/seal.jpg"), "seal.jpg");
    EXPECT_EQ(ExtractFileName("seal.jpg"), "seal.jpg");
    EXPECT_EQ(ExtractFileExt("/a/b.c/seal"), "");
    EXPECT_EQ(ExtractFileExt("/a/b/seal.JPG"), ".JPG");
}

TEST(Strings, TrimRemovesBlanksAndControlsAtBothEnds) {
    EXPECT_EQ(Trim("  \t\r\n A 01 \x01\x1f "), "A 01");
    EXPECT_EQ(Trim("   "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("印章"), "印章"); // bytes above 0x7F are kept
}

TEST(Arithmetic, MulDivRoundsHalfAwayFromZeroAndFlagsFailures) {
    struct Case {
        int32_t A, B, C, R;
    } Cases[] = {
        {10, 1, 3, 3},
        {10, 1, 4, 3},
        {-10, 1, 4, -3},
        {10, -1, 4, -3},
        {-10, -1, 4, 3},
        {5, 1, 2, 3},
        {-5, 1, 2, -3},
        {7, 3, 0, -1},
        {0x7FFFFFFF, 2, 1, -1},
        {0x7FFFFFFF, 2, 2, 0x7FFFFFFF},
        {32, 100, 128, 25},
        {1 << 20, 1 << 20, 1 << 10, 1 << 30},
        {INT32_MIN, 1, 1, INT32_MIN},
    };
    for (const Case& C : Cases)
        EXPECT_EQ(MulDiv(C.A, C.B, C.C), C.R) << C.A << "*" << C.B << "/" << C.C;
}

TEST(Time, TimeGetTimeIsMonotonic) {
    uint32_t A = timeGetTime();
    Sleep(2);
    uint32_t B = timeGetTime();
    EXPECT_GE(static_cast<uint32_t>(B - A), 1u);
}

TEST(LastError, IsKeptPerThreadAndHasText) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(SystemErrorText(ERROR_NOT_ENOUGH_MEMORY).empty());
    EXPECT_EQ(SystemErrorText(0), "");
    EXPECT_EQ(SystemErrorText(123456), "");
    SetLastError(0);
}

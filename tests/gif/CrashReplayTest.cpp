// Files that once crashed or hung the reader or the writer, kept in tests/data/crash/ and named
// after what they provoked. Each must load to a clean error or a picture, and what loaded must
// save again (or fail cleanly) with both compression methods.
#include "gif/GIFImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace mv {
namespace {

std::vector<std::string> CrashFiles() {
    std::vector<std::string> Out;
    std::filesystem::path Dir = std::filesystem::path(MORVELLAN_TEST_DATA) / "crash";
    if (std::filesystem::is_directory(Dir))
        for (const auto& E : std::filesystem::directory_iterator(Dir))
            if (E.is_regular_file()) Out.push_back(E.path().string());
    std::sort(Out.begin(), Out.end());
    return Out;
}

TEST(CrashReplay, EachFileGivesACleanErrorOrAPicture) {
    std::vector<std::string> Files = CrashFiles();
    EXPECT_FALSE(Files.empty());
    for (const std::string& File : Files) {
        SCOPED_TRACE(File);
        TGIFImage Image;
        Image.OnWarningReport = [](TObject*, uint8_t, const std::string&) {};
        try {
            Image.LoadFromFile(File);
        } catch (const Exception&) {
        }
        for (TGIFCompressionMethod Method : {cpLZW, cpRunLength}) {
            Image.CompressionMethod = Method;
            TMemoryStream Out;
            try {
                Image.SaveToStream(Out);
            } catch (const Exception&) {
            }
        }
    }
}

} // namespace
} // namespace mv

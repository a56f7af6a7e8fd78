// Helpers of the command-line tests: running the built program as a process, a temporary
// directory per test, files as bytes, BMP pictures made here and a small JSON reader.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mv::clitest {

using TBytes = std::vector<uint8_t>;

struct TRun {
    int Status = -1; // the exit status, or -1 when the program did not exit normally
    std::string Out, Err;
};

// Runs the program with Args (without the program's name), in the working directory Cwd,
// its standard output and error captured through files in ScratchDir.
TRun RunCli(const std::vector<std::string>& Args, const std::string& ScratchDir,
            const std::string& Cwd = "");

TBytes ReadBytes(const std::string& Path);
void WriteBytes(const std::string& Path, const TBytes& Bytes);
// The names in a directory, sorted.
std::vector<std::string> ListDir(const std::string& Dir);

// A 24-bit bottom-up BMP file of W x H pixels whose pixel (X, Y) (Y from the top) has the
// color Pixel returns as 0xRRGGBB.
TBytes Make24BitBmp(int32_t W, int32_t H, const std::function<uint32_t(int32_t, int32_t)>& Pixel);

uint32_t Get16(const TBytes& B, size_t At);
uint32_t Get32(const TBytes& B, size_t At);

// A JSON value: enough to read back what the program prints.
struct TJson {
    enum TKind { Null, Bool, Number, String, Array, Object } Kind = Null;
    bool B = false;
    double N = 0;
    std::string S;
    std::vector<TJson> Items;
    std::map<std::string, TJson> Members;

    // A member of an object; fails the test (and gives a null) when it is missing.
    const TJson& operator[](const std::string& Key) const;
    const TJson& operator[](size_t Index) const { return Items.at(Index); }
    int Int() const { return static_cast<int>(N); }
};

// Parses one JSON text; raises std::runtime_error naming the offset of a syntax error.
TJson ParseJson(const std::string& Text);

} // namespace mv::clitest

#include "platform/SysUtils.h"

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

namespace mv {

std::string FormatV(const char* Fmt, va_list Args) {
    va_list Copy;
    va_copy(Copy, Args);
    int Needed = std::vsnprintf(nullptr, 0, Fmt, Copy);
    va_end(Copy);
    if (Needed <= 0) return std::string();
    std::string Out(static_cast<size_t>(Needed), '\0');
    std::vsnprintf(Out.data(), Out.size() + 1, Fmt, Args);
    return Out;
}

std::string Format(const char* Fmt, ...) {
    va_list Args;
    va_start(Args, Fmt);
    std::string Out = FormatV(Fmt, Args);
    va_end(Args);
    return Out;
}

std::string Trim(const std::string& S) {
    size_t First = 0, Last = S.size();
    while (First < Last && static_cast<unsigned char>(S[First]) <= ' ') ++First;
    while (Last > First && static_cast<unsigned char>(S[Last - 1]) <= ' ') --Last;
    return S.substr(First, Last - First);
}

std::string UpperCase(const std::string& S) {
    std::string R = S;
    for (char& C : R)
        if (C >= 'a' && C <= 'z') C = static_cast<char>(C - 'a' + 'A');
    return R;
}

std::string LowerCase(const std::string& S) {
    std::string R = S;
    for (char& C : R)
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
    return R;
}

bool SameText(const std::string& A, const std::string& B) {
    return LowerCase(A) == LowerCase(B);
}

namespace {
// Index of the dot that starts the extension, or npos: the last '.' after the last '/'.
size_t ExtensionDot(const std::string& FileName) {
    size_t Dot = FileName.find_last_of("./");
    if (Dot == std::string::npos || FileName[Dot] != '.') return std::string::npos;
    return Dot;
}
} // namespace

std::string ExtractFileName(const std::string& FileName) {
    size_t Slash = FileName.find_last_of('/');
    return Slash == std::string::npos ? FileName : FileName.substr(Slash + 1);
}

std::string ExtractFilePath(const std::string& FileName) {
    size_t Slash = FileName.find_last_of('/');
    return Slash == std::string::npos ? std::string() : FileName.substr(0, Slash + 1);
}

std::string ExtractFileExt(const std::string& FileName) {
    size_t Dot = ExtensionDot(FileName);
    return Dot == std::string::npos ? std::string() : FileName.substr(Dot);
}

std::string ChangeFileExt(const std::string& FileName, const std::string& Extension) {
    size_t Dot = ExtensionDot(FileName);
    return (Dot == std::string::npos ? FileName : FileName.substr(0, Dot)) + Extension;
}

bool FileExists(const std::string& FileName) {
    struct stat St;
    return ::stat(FileName.c_str(), &St) == 0 && S_ISREG(St.st_mode);
}

int32_t MulDiv(int32_t A, int32_t B, int32_t C) {
    if (C == 0) return -1;
    int64_t Product = static_cast<int64_t>(A) * B;
    int64_t Divisor = C;
    bool Negative = (Product < 0) != (Divisor < 0);
    uint64_t P = Product < 0 ? static_cast<uint64_t>(-Product) : static_cast<uint64_t>(Product);
    uint64_t D = Divisor < 0 ? static_cast<uint64_t>(-Divisor) : static_cast<uint64_t>(Divisor);
    uint64_t Q = (P + D / 2) / D; // half away from zero on the magnitude
    if (Q > (Negative ? 0x80000000ull : 0x7FFFFFFFull)) return -1;
    return Negative ? static_cast<int32_t>(-static_cast<int64_t>(Q)) : static_cast<int32_t>(Q);
}

uint32_t timeGetTime() {
    using namespace std::chrono;
    auto Ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(Ms));
}

void Sleep(uint32_t Milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

namespace {
thread_local uint32_t LastError = ERROR_SUCCESS;
}

uint32_t GetLastError() {
    return LastError;
}
void SetLastError(uint32_t Code) {
    LastError = Code;
}

std::string SystemErrorText(uint32_t Code) {
    switch (Code) {
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_INVALID_BITMAP:
        return "Invalid bitmap.";
    case ERROR_INVALID_PIXEL_FORMAT:
        return "The pixel format is invalid.";
    default:
        return std::string();
    }
}

} // namespace mv

// String, file-name, arithmetic, time and error-code helpers of our platform layer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace mv {

// printf-style formatting into a std::string.
std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* Fmt, va_list Args);

// Removes blanks and control characters (bytes up to 0x20) from both ends.
std::string Trim(const std::string& S);
std::string UpperCase(const std::string& S); // ASCII letters only
std::string LowerCase(const std::string& S); // ASCII letters only
bool SameText(const std::string& A, const std::string& B);

// File names. A dot inside a directory name is not an extension.
std::string ExtractFileName(const std::string& FileName); // after the last '/'
std::string ExtractFilePath(const std::string& FileName); // up to and including the last '/'
std::string ExtractFileExt(const std::string& FileName);  // ".jpg", or "" without one
// Replaces the extension (or appends Extension when there is none): "a.b.c" -> "a.b.gif".
std::string ChangeFileExt(const std::string& FileName, const std::string& Extension);
bool FileExists(const std::string& FileName);

// (A * B) / C with a 64-bit product, rounded half away from zero; -1 when C is 0 or the
// result does not fit 32 bits.
int32_t MulDiv(int32_t A, int32_t B, int32_t C);

// Milliseconds from a monotonic clock, wrapping at 2^32.
uint32_t timeGetTime();
void Sleep(uint32_t Milliseconds);

// The platform layer's last-error code (per thread). Our GDI-like calls set it on failure.
constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_INVALID_HANDLE = 6;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t ERROR_INVALID_PIXEL_FORMAT = 2000;
constexpr uint32_t ERROR_INVALID_BITMAP = 1412;
uint32_t GetLastError();
void SetLastError(uint32_t Code);
// The system's text for an error code, or "" when it has none (0 included).
std::string SystemErrorText(uint32_t Code);

} // namespace mv

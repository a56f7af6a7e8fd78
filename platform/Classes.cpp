#include "platform/Classes.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mv {

// ---------------------------------------------------------------------------
// TPersistent

void TPersistent::Assign(TPersistent* Source) {
    if (Source == nullptr) AssignError(nullptr);
    Source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* Dest) {
    // Reports this object's class as the source and Dest's as the target.
    std::string Target = Dest ? Dest->ClassName() : std::string("nil");
    throw EConvertError(Format("Cannot assign a %s to a %s", ClassName().c_str(), Target.c_str()));
}

void TPersistent::AssignError(const TPersistent* Source) const {
    std::string From = Source ? Source->ClassName() : std::string("nil");
    throw EConvertError(Format("Cannot assign a %s to a %s", From.c_str(), ClassName().c_str()));
}

void Abort() {
    throw EAbort("");
}

void ListIndexError(int64_t Index) {
    throw EListError(Format("List index out of bounds (%lld)", static_cast<long long>(Index)));
}

// ---------------------------------------------------------------------------
// TStream

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count) throw EWriteError("Stream write error");
}

int64_t TStream::Size() {
    int64_t Pos = Seek(0, soCurrent);
    int64_t End = Seek(0, soEnd);
    Seek(Pos, soBeginning);
    return End;
}

void TStream::SetSize(int64_t) {
    throw EStreamError("Stream does not support resizing");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    std::vector<uint8_t> Buffer(static_cast<size_t>(std::min<int64_t>(Count, 1 << 16)));
    int64_t Done = 0;
    while (Done < Count) {
        int64_t N = std::min<int64_t>(Count - Done, static_cast<int64_t>(Buffer.size()));
        Source.ReadBuffer(Buffer.data(), N);
        WriteBuffer(Buffer.data(), N);
        Done += N;
    }
    return Done;
}

// ---------------------------------------------------------------------------
// TMemoryStream

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0 || FPosition >= Size()) return 0;
    int64_t N = std::min(Count, Size() - FPosition);
    std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(N));
    FPosition += N;
    return N;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    int64_t End = FPosition + Count;
    if (End > Size()) {
        if (static_cast<uint64_t>(End) > FData.capacity())
            FData.reserve(std::max<size_t>(static_cast<size_t>(End), FData.capacity() * 2));
        FData.resize(static_cast<size_t>(End));
    }
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = End;
    return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t Base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
    int64_t Pos = Base + Offset;
    if (Pos < 0) Pos = 0;
    FPosition = Pos;
    return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    if (NewSize < 0) NewSize = 0;
    FData.resize(static_cast<size_t>(NewSize));
    if (FPosition > NewSize) FPosition = NewSize;
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::LoadFromStream(TStream& Source) {
    Source.SetPosition(0);
    int64_t N = Source.Size();
    SetSize(N);
    Source.ReadBuffer(FData.data(), N);
    FPosition = 0;
}

void TMemoryStream::SaveToStream(TStream& Dest) {
    Dest.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
    TFileStream F(FileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(F);
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
    TAtomicFileStream F(FileName);
    SaveToStream(F);
    F.Commit();
}

// ---------------------------------------------------------------------------
// TFileStream

namespace {
constexpr size_t FileBufferSize = 1 << 16;

std::string SystemReason(int Err) {
    return std::strerror(Err);
}
} // namespace

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode)
    : FFileName(FileName), FBuffer(FileBufferSize) {
    if (Mode == fmCreate) {
        FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FHandle < 0)
            throw EFCreateError(Format("Cannot create file \"%s\". %s", FileName.c_str(),
                                       SystemReason(errno).c_str()));
        return;
    }
    int Access = Mode & 0x03;
    int Flags = Access == fmOpenWrite ? O_WRONLY : Access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    FHandle = ::open(FileName.c_str(), Flags | O_CLOEXEC);
    if (FHandle < 0)
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", FileName.c_str(), SystemReason(errno).c_str()));
    struct stat St;
    if (::fstat(FHandle, &St) == 0 && S_ISDIR(St.st_mode)) {
        ::close(FHandle);
        FHandle = -1;
        throw EFOpenError(
            Format("Cannot open file \"%s\". %s", FileName.c_str(), SystemReason(EISDIR).c_str()));
    }
    int Share = Mode & 0xF0;
    if (Share == fmShareDenyWrite || Share == fmShareExclusive) {
        int Lock = Share == fmShareExclusive ? LOCK_EX : LOCK_SH;
        // Advisory only: a writer that does not lock is not stopped, as the system allows.
        if (::flock(FHandle, Lock | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            ::close(FHandle);
            FHandle = -1;
            throw EFOpenError(Format("Cannot open file \"%s\". %s", FileName.c_str(),
                                     "The file is in use by another process."));
        }
    }
}

TFileStream::~TFileStream() {
    try {
        Flush();
    } catch (...) {
        // A destructor cannot report; callers that care call Flush first.
    }
    CloseHandle();
}

void TFileStream::CloseHandle() {
    if (FHandle >= 0) {
        ::close(FHandle);
        FHandle = -1;
    }
}

void TFileStream::FlushWrite() {
    size_t Done = 0;
    while (Done < FBufPos) {
        ++FSystemCalls;
        ssize_t N = ::write(FHandle, FBuffer.data() + Done, FBufPos - Done);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0) {
            int Err = errno;
            FBufPos = 0;
            throw EWriteError(
                Format("Cannot write to \"%s\". %s", FFileName.c_str(), SystemReason(Err).c_str()));
        }
        Done += static_cast<size_t>(N);
        FFilePos += N;
    }
    FBufPos = 0;
}

void TFileStream::DropReadBuffer() {
    // The OS offset is past the buffered bytes; put it back at the logical position.
    if (!FWriting && FBufPos < FBufLen) {
        FFilePos -= static_cast<int64_t>(FBufLen - FBufPos);
        ::lseek(FHandle, FFilePos, SEEK_SET);
    }
    FBufPos = FBufLen = 0;
}

void TFileStream::Flush() {
    if (FHandle < 0) return;
    if (FWriting) FlushWrite();
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0 || FHandle < 0) return 0;
    if (FWriting) {
        FlushWrite();
        FWriting = false;
    }
    auto* Out = static_cast<uint8_t*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        if (FBufPos == FBufLen) {
            FBufPos = FBufLen = 0;
            // Large reads go straight to the caller's buffer.
            if (Count - Done >= static_cast<int64_t>(FBuffer.size())) {
                ++FSystemCalls;
                ssize_t N = ::read(FHandle, Out + Done, static_cast<size_t>(Count - Done));
                if (N < 0 && errno == EINTR) continue;
                if (N <= 0) break;
                FFilePos += N;
                Done += N;
                continue;
            }
            ++FSystemCalls;
            ssize_t N = ::read(FHandle, FBuffer.data(), FBuffer.size());
            if (N < 0 && errno == EINTR) continue;
            if (N <= 0) break;
            FFilePos += N;
            FBufLen = static_cast<size_t>(N);
        }
        size_t Take = std::min(FBufLen - FBufPos, static_cast<size_t>(Count - Done));
        std::memcpy(Out + Done, FBuffer.data() + FBufPos, Take);
        FBufPos += Take;
        Done += static_cast<int64_t>(Take);
    }
    return Done;
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0 || FHandle < 0) return 0;
    if (!FWriting) {
        DropReadBuffer();
        FWriting = true;
    }
    const auto* In = static_cast<const uint8_t*>(Buffer);
    int64_t Done = 0;
    while (Done < Count) {
        size_t Take = std::min(FBuffer.size() - FBufPos, static_cast<size_t>(Count - Done));
        std::memcpy(FBuffer.data() + FBufPos, In + Done, Take);
        FBufPos += Take;
        Done += static_cast<int64_t>(Take);
        if (FBufPos == FBuffer.size()) FlushWrite();
    }
    return Done;
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (FHandle < 0) return 0;
    int64_t Logical = FWriting ? FFilePos + static_cast<int64_t>(FBufPos)
                               : FFilePos - static_cast<int64_t>(FBufLen - FBufPos);
    if (Origin == soCurrent && Offset == 0) return Logical;
    int64_t Target;
    if (Origin == soBeginning) {
        Target = Offset;
    } else if (Origin == soCurrent) {
        Target = Logical + Offset;
    } else {
        Target = Size() + Offset;
    }
    if (Target < 0) Target = 0;
    // A seek inside the read buffer moves within it.
    if (!FWriting && FBufLen > 0) {
        int64_t BufStart = FFilePos - static_cast<int64_t>(FBufLen);
        if (Target >= BufStart && Target <= FFilePos) {
            FBufPos = static_cast<size_t>(Target - BufStart);
            return Target;
        }
    }
    if (FWriting) FlushWrite();
    FBufPos = FBufLen = 0;
    off_t R = ::lseek(FHandle, Target, SEEK_SET);
    FFilePos = R < 0 ? FFilePos : R;
    return FFilePos;
}

int64_t TFileStream::Size() {
    if (FHandle < 0) return 0;
    if (FWriting) FlushWrite();
    struct stat St;
    if (::fstat(FHandle, &St) != 0) return 0;
    return St.st_size;
}

void TFileStream::SetSize(int64_t NewSize) {
    int64_t Pos = Seek(0, soCurrent);
    if (FWriting) FlushWrite();
    FBufPos = FBufLen = 0;
    if (::ftruncate(FHandle, NewSize) != 0)
        throw EWriteError(
            Format("Cannot resize \"%s\". %s", FFileName.c_str(), SystemReason(errno).c_str()));
    Seek(std::min(Pos, NewSize), soBeginning);
}

// ---------------------------------------------------------------------------
// TAtomicFileStream

namespace {
std::string TemporaryNameFor(const std::string& Target) {
    static std::atomic<unsigned> Counter{0};
    return ExtractFilePath(Target) + "." + ExtractFileName(Target) +
           Format(".%d.%u.tmp", static_cast<int>(getpid()), Counter++);
}
} // namespace

TAtomicFileStream::TAtomicFileStream(const std::string& FileName)
    : TAtomicFileStream(FileName, TemporaryNameFor(FileName)) {}

// A temporary that cannot be made is reported under the name the caller asked for: the
// temporary's own name means nothing to the user.
TAtomicFileStream::TAtomicFileStream(const std::string& FileName, const std::string& Temporary) try
    : TFileStream(Temporary, fmCreate), FTarget(FileName) {
} catch (const EFCreateError& E) {
    std::string Message = E.what();
    const std::string Quoted = "\"" + Temporary + "\"";
    if (size_t At = Message.find(Quoted); At != std::string::npos)
        Message.replace(At, Quoted.size(), "\"" + FileName + "\"");
    throw EFCreateError(Message);
}

TAtomicFileStream::~TAtomicFileStream() {
    if (!FCommitted) {
        CloseHandle();
        ::unlink(this->FileName().c_str());
    }
}

void TAtomicFileStream::Commit() {
    if (FCommitted) return;
    Flush();
    CloseHandle();
    if (::rename(FileName().c_str(), FTarget.c_str()) != 0) {
        int Err = errno;
        ::unlink(FileName().c_str());
        FCommitted = true; // nothing left to clean up
        throw EFCreateError(
            Format("Cannot create file \"%s\". %s", FTarget.c_str(), SystemReason(Err).c_str()));
    }
    FCommitted = true;
}

// ---------------------------------------------------------------------------
// TStrings

void TStrings::Assign(TPersistent* Source) {
    if (auto* S = dynamic_cast<TStrings*>(Source)) {
        FLines = S->FLines;
        return;
    }
    TPersistent::Assign(Source);
}

const std::string& TStrings::Strings(int Index) const {
    if (Index < 0 || Index >= Count()) ListIndexError(Index);
    return FLines[static_cast<size_t>(Index)];
}

void TStrings::SetString(int Index, const std::string& S) {
    if (Index < 0 || Index >= Count()) ListIndexError(Index);
    FLines[static_cast<size_t>(Index)] = S;
}

int TStrings::Add(const std::string& S) {
    FLines.push_back(S);
    return Count() - 1;
}

void TStrings::Insert(int Index, const std::string& S) {
    if (Index < 0 || Index > Count()) ListIndexError(Index);
    FLines.insert(FLines.begin() + Index, S);
}

void TStrings::Delete(int Index) {
    if (Index < 0 || Index >= Count()) ListIndexError(Index);
    FLines.erase(FLines.begin() + Index);
}

int TStrings::IndexOf(const std::string& S) const {
    for (size_t i = 0; i < FLines.size(); ++i)
        if (FLines[i] == S) return static_cast<int>(i);
    return -1;
}

std::string TStrings::Text() const {
    std::string R;
    for (const auto& L : FLines) R += L + "\r\n";
    return R;
}

void TStrings::SetText(const std::string& S) {
    FLines.clear();
    size_t i = 0;
    while (i < S.size()) {
        size_t j = S.find_first_of("\r\n", i);
        if (j == std::string::npos) {
            FLines.push_back(S.substr(i));
            break;
        }
        FLines.push_back(S.substr(i, j - i));
        i = (S[j] == '\r' && j + 1 < S.size() && S[j + 1] == '\n') ? j + 2 : j + 1;
    }
}

} // namespace mv

// Core classes of our platform layer: the object and persistent roots, the exception
// hierarchy, streams, pointer lists and string lists.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mv {

// ---------------------------------------------------------------------------
// Object roots

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the platform reports it ("TBitmap", "TGIFImage", ...).
    virtual std::string ClassName() const { return "TObject"; }
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

class TPersistent : public TObject {
public:
    std::string ClassName() const override { return "TPersistent"; }
    // Copies Source into this object. The default asks Source to assign itself to this
    // object (AssignTo); a null Source raises EConvertError "Cannot assign a nil to a ...".
    virtual void Assign(TPersistent* Source);
    // Copies this object into Dest. The default raises EConvertError
    // "Cannot assign a <this class> to a <Dest class>".
    virtual void AssignTo(TPersistent* Dest);

protected:
    [[noreturn]] void AssignError(const TPersistent* Source) const;
};

// ---------------------------------------------------------------------------
// Exceptions

class Exception : public std::exception {
public:
    explicit Exception(std::string Message) : FMessage(std::move(Message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    virtual std::string ClassName() const { return "Exception"; }

private:
    std::string FMessage;
};

#define MV_EXCEPTION_CLASS(Name, Base)                                                             \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        std::string ClassName() const override { return #Name; }                                   \
    }

MV_EXCEPTION_CLASS(EConvertError, Exception);
MV_EXCEPTION_CLASS(EAbort, Exception);
MV_EXCEPTION_CLASS(EOutOfMemory, Exception);
MV_EXCEPTION_CLASS(EOutOfResources, EOutOfMemory);
MV_EXCEPTION_CLASS(EInvalidGraphic, Exception);
MV_EXCEPTION_CLASS(EInvalidGraphicOperation, Exception);
MV_EXCEPTION_CLASS(EInvalidOperation, Exception);
MV_EXCEPTION_CLASS(EListError, Exception);
MV_EXCEPTION_CLASS(EStreamError, Exception);
MV_EXCEPTION_CLASS(EReadError, EStreamError);
MV_EXCEPTION_CLASS(EWriteError, EStreamError);
MV_EXCEPTION_CLASS(EFCreateError, EStreamError);
MV_EXCEPTION_CLASS(EFOpenError, EStreamError);

// Raises EAbort with an empty message: a silent exception that ends an operation.
[[noreturn]] void Abort();

// ---------------------------------------------------------------------------
// Streams

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
public:
    std::string ClassName() const override { return "TStream"; }
    // Reads up to Count bytes; returns how many arrived (0 at the end).
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    // Writes up to Count bytes; returns how many were written.
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    // Moves the position; returns the new position.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;

    // Strict transfers: raise EReadError "Stream read error" / EWriteError "Stream write error"
    // when fewer than Count bytes move.
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t NewSize);

    // Copies Count bytes from Source (all of Source from its start when Count is 0).
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream over a growable block of memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    std::string ClassName() const override { return "TMemoryStream"; }

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t NewSize) override;

    void Clear();
    uint8_t* Memory() { return FData.data(); }
    const uint8_t* Memory() const { return FData.data(); }
    const std::vector<uint8_t>& Bytes() const { return FData; }

    void LoadFromStream(TStream& Source);
    void SaveToStream(TStream& Dest);
    void LoadFromFile(const std::string& FileName);
    void SaveToFile(const std::string& FileName);

private:
    std::vector<uint8_t> FData;
    int64_t FPosition = 0;
};

// File open modes: an access mode or-ed with a share mode, or fmCreate alone.
constexpr uint16_t fmCreate = 0xFF00;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;

// A buffered stream over a file. fmCreate creates or truncates; fmShareDenyWrite and
// fmShareExclusive take an advisory lock, which is what this system allows.
// Failures raise EFCreateError / EFOpenError naming the file and the system's reason.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& FileName, uint16_t Mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    std::string ClassName() const override { return "TFileStream"; }

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;
    void SetSize(int64_t NewSize) override;

    const std::string& FileName() const { return FFileName; }
    // Writes out buffered data; raises EWriteError when the system refuses it.
    void Flush();
    // Number of read(2)/write(2) calls made so far (lets tests see the buffering work).
    uint64_t SystemCalls() const { return FSystemCalls; }

protected:
    void CloseHandle();

private:
    void FlushWrite();
    void DropReadBuffer();

    std::string FFileName;
    int FHandle = -1;
    std::vector<uint8_t> FBuffer;
    size_t FBufPos = 0; // read: next byte in FBuffer; write: bytes pending in FBuffer
    size_t FBufLen = 0; // read: valid bytes in FBuffer
    bool FWriting = false;
    int64_t FFilePos = 0; // position of the OS file offset
    uint64_t FSystemCalls = 0;
};

// Writes a file safely: the bytes go to a temporary file beside the target, and Commit
// renames it over the target. Destroyed without Commit, it removes the temporary file and
// leaves whatever was at the target before.
class TAtomicFileStream : public TFileStream {
public:
    explicit TAtomicFileStream(const std::string& FileName);
    ~TAtomicFileStream() override;
    std::string ClassName() const override { return "TAtomicFileStream"; }
    const std::string& TargetName() const { return FTarget; }
    void Commit();

private:
    TAtomicFileStream(const std::string& FileName, const std::string& Temporary);
    std::string FTarget;
    bool FCommitted = false;
};

// ---------------------------------------------------------------------------
// Lists

[[noreturn]] void ListIndexError(int64_t Index);

// The platform's list of non-owned pointers; indices outside 0..Count-1 raise EListError
// "List index out of bounds (N)".
template <class T> class TList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    T* Items(int Index) const {
        Check(Index);
        return FItems[static_cast<size_t>(Index)];
    }
    T* operator[](int Index) const { return Items(Index); }
    void SetItem(int Index, T* Item) {
        Check(Index);
        FItems[static_cast<size_t>(Index)] = Item;
    }
    int Add(T* Item) {
        FItems.push_back(Item);
        return Count() - 1;
    }
    void Insert(int Index, T* Item) {
        if (Index < 0 || Index > Count()) ListIndexError(Index);
        FItems.insert(FItems.begin() + Index, Item);
    }
    void Delete(int Index) {
        Check(Index);
        FItems.erase(FItems.begin() + Index);
    }
    int IndexOf(const T* Item) const {
        for (size_t i = 0; i < FItems.size(); ++i)
            if (FItems[i] == Item) return static_cast<int>(i);
        return -1;
    }
    int Remove(const T* Item) {
        int i = IndexOf(Item);
        if (i >= 0) Delete(i);
        return i;
    }
    void Exchange(int A, int B) {
        Check(A);
        Check(B);
        std::swap(FItems[static_cast<size_t>(A)], FItems[static_cast<size_t>(B)]);
    }
    void Move(int From, int To) {
        T* Item = Items(From);
        Delete(From);
        Insert(To, Item);
    }
    void Clear() { FItems.clear(); }
    T* First() const { return Items(0); }
    T* Last() const { return Items(Count() - 1); }
    typename std::vector<T*>::const_iterator begin() const { return FItems.begin(); }
    typename std::vector<T*>::const_iterator end() const { return FItems.end(); }

private:
    void Check(int Index) const {
        if (Index < 0 || Index >= Count()) ListIndexError(Index);
    }
    std::vector<T*> FItems;
};

// Lines of bytes (no encoding is assumed).
class TStrings : public TPersistent {
public:
    std::string ClassName() const override { return "TStrings"; }
    void Assign(TPersistent* Source) override;

    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& Strings(int Index) const;
    const std::string& operator[](int Index) const { return Strings(Index); }
    void SetString(int Index, const std::string& S);
    int Add(const std::string& S);
    void Insert(int Index, const std::string& S);
    void Delete(int Index);
    void Clear() { FLines.clear(); }
    int IndexOf(const std::string& S) const;
    // Lines joined with CR LF after each; setting splits at CR, LF or CR LF.
    std::string Text() const;
    void SetText(const std::string& S);
    const std::vector<std::string>& Lines() const { return FLines; }

private:
    std::vector<std::string> FLines;
};

class TStringList : public TStrings {
public:
    std::string ClassName() const override { return "TStringList"; }
};

} // namespace mv

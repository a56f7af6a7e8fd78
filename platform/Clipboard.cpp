// Global memory blocks and an in-process clipboard.
#include "platform/Graphics.h"

#include "platform/SysUtils.h"

#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace mv {

// ---------------------------------------------------------------------------
// Global memory

namespace {
// Locked blocks by address, so that GlobalHandle can find a block from its address. The table
// outlives every other static object (blocks the clipboard keeps are freed at exit after it).
std::mutex GlobalLockTable;
std::map<const void*, std::weak_ptr<TGlobalMemory>>& LockedBlocks() {
    static auto* M = new std::map<const void*, std::weak_ptr<TGlobalMemory>>;
    return *M;
}
} // namespace

TGlobalMemory::TGlobalMemory(size_t Bytes) : Size(Bytes) {}

TGlobalMemory::~TGlobalMemory() {
    std::lock_guard<std::mutex> G(GlobalLockTable);
    if (Data) LockedBlocks().erase(Data.get());
}

HGLOBAL GlobalAlloc(uint32_t Flags, size_t Bytes) {
    // Larger blocks than 16 GiB are refused outright: nothing here needs one, and asking the
    // allocator for absurd sizes is not a way to find out.
    if (Bytes > (size_t{1} << 34)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto M = std::make_shared<TGlobalMemory>(Bytes);
    // A block of 0 bytes still has an address of its own.
    size_t Real = Bytes == 0 ? 1 : Bytes;
    M->Data.reset((Flags & GMEM_ZEROINIT) ? new (std::nothrow) uint8_t[Real]()
                                          : new (std::nothrow) uint8_t[Real]);
    if (!M->Data) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return M;
}

void* GlobalLock(const HGLOBAL& Memory) {
    if (!Memory || !Memory->Data) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard<std::mutex> G(GlobalLockTable);
    ++Memory->LockCount;
    LockedBlocks()[Memory->Data.get()] = Memory;
    return Memory->Data.get();
}

bool GlobalUnlock(const HGLOBAL& Memory) {
    if (!Memory || Memory->LockCount <= 0) {
        SetLastError(Memory ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
        return false;
    }
    std::lock_guard<std::mutex> G(GlobalLockTable);
    if (--Memory->LockCount == 0) {
        SetLastError(ERROR_SUCCESS);
        return false;
    }
    return true;
}

size_t GlobalSize(const HGLOBAL& Memory) {
    if (!Memory) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return Memory->Size;
}

HGLOBAL GlobalHandle(const void* Address) {
    std::lock_guard<std::mutex> G(GlobalLockTable);
    auto It = LockedBlocks().find(Address);
    if (It == LockedBlocks().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return It->second.lock();
}

std::unique_ptr<uint8_t[]> GlobalDetach(const HGLOBAL& Memory) {
    if (!Memory || !Memory->Data || Memory->LockCount > 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::lock_guard<std::mutex> G(GlobalLockTable);
    LockedBlocks().erase(Memory->Data.get());
    Memory->Size = 0;
    return std::move(Memory->Data);
}

HGLOBAL GlobalFree(HGLOBAL Memory) {
    if (!Memory) {
        SetLastError(ERROR_INVALID_HANDLE);
        return Memory;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The clipboard

namespace {
struct TClipboardState {
    std::mutex Lock;
    std::map<std::string, uint32_t> Names;
    std::map<uint32_t, std::string> Numbers;
    std::map<uint32_t, THandle> Data;
    bool Open = false;
};

TClipboardState& Clip() {
    static TClipboardState S;
    return S;
}
} // namespace

uint32_t RegisterClipboardFormat(const std::string& Name) {
    if (Name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    // Names compare without regard to case, as the system's atom table does.
    std::string Key = LowerCase(Name);
    auto It = S.Names.find(Key);
    if (It != S.Names.end()) return It->second;
    if (S.Names.size() >= 0x3FFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    uint32_t Number = 0xC000 + static_cast<uint32_t>(S.Names.size());
    S.Names[Key] = Number;
    S.Numbers[Number] = Name;
    return Number;
}

std::string GetClipboardFormatName(uint32_t Format) {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    auto It = S.Numbers.find(Format);
    return It == S.Numbers.end() ? std::string() : It->second;
}

bool OpenClipboard(const HWND&) {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Open = true;
    return true;
}

bool CloseClipboard() {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    bool Was = S.Open;
    S.Open = false;
    return Was;
}

bool EmptyClipboard() {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Data.clear();
    return true;
}

THandle SetClipboardData(uint32_t Format, THandle Data) {
    if (Format == 0 || !Data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    S.Data[Format] = Data;
    return Data;
}

THandle GetClipboardData(uint32_t Format) {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    auto It = S.Data.find(Format);
    if (It == S.Data.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return It->second;
}

bool IsClipboardFormatAvailable(uint32_t Format) {
    TClipboardState& S = Clip();
    std::lock_guard<std::mutex> G(S.Lock);
    return S.Data.count(Format) != 0;
}

} // namespace mv

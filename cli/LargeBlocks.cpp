// The program's operator new and delete: blocks of 2 MB and more (the pictures, their reduced
// copies, the frame's pixels, the compressed data) are mapped from the system on their own,
// aligned to 2 MB and backed by huge pages when the system has them. A 4000 x 3000 picture
// is tens of megabytes, and faulting that in 4 KB pages costs more than decoding it; with
// 2 MB pages it is a few dozen faults. Smaller blocks go to malloc as usual.
//
// Left out under the sanitizers, which keep their own allocator to check every block.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

constexpr size_t Huge = size_t(2) << 20;
constexpr size_t LargeBlock = Huge; // from this size on a block is mapped on its own

// The mapped blocks and their lengths. Its own allocations are small, so they never come
// back here; it is never destroyed, so a block freed during static destruction still finds
// its entry.
struct TLargeBlocks {
    std::mutex Lock;
    std::unordered_map<void*, size_t> Lengths;
};

TLargeBlocks& Blocks() {
    static TLargeBlocks* Instance = new TLargeBlocks;
    return *Instance;
}

void* MapLarge(size_t Size) {
    const size_t Length = (Size + Huge - 1) & ~(Huge - 1);
    // One huge page more than needed, so that the block can start on a 2 MB boundary.
    void* Raw =
        mmap(nullptr, Length + Huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Raw == MAP_FAILED) return nullptr;
    const uintptr_t Begin = reinterpret_cast<uintptr_t>(Raw);
    const uintptr_t Aligned = (Begin + Huge - 1) & ~uintptr_t(Huge - 1);
    if (Aligned > Begin) munmap(Raw, Aligned - Begin);
    if (Begin + Huge > Aligned)
        munmap(reinterpret_cast<void*>(Aligned + Length), Begin + Huge - Aligned);
    void* Block = reinterpret_cast<void*>(Aligned);
#ifdef MADV_HUGEPAGE
    madvise(Block, Length, MADV_HUGEPAGE); // a hint: without huge pages it is plain memory
#endif
    try {
        std::lock_guard<std::mutex> Guard(Blocks().Lock);
        Blocks().Lengths.emplace(Block, Length);
    } catch (...) {
        munmap(Block, Length);
        return nullptr;
    }
    return Block;
}

void* Allocate(size_t Size) {
    if (Size >= LargeBlock) {
        if (void* P = MapLarge(Size)) return P;
    }
    return std::malloc(Size ? Size : 1);
}

void Release(void* P) {
    if (!P) return;
    // Mapped blocks start on a 2 MB boundary; malloc's rarely do, and those are looked up too.
    if ((reinterpret_cast<uintptr_t>(P) & (Huge - 1)) == 0) {
        size_t Length = 0;
        {
            std::lock_guard<std::mutex> Guard(Blocks().Lock);
            auto It = Blocks().Lengths.find(P);
            if (It != Blocks().Lengths.end()) {
                Length = It->second;
                Blocks().Lengths.erase(It);
            }
        }
        if (Length) {
            munmap(P, Length);
            return;
        }
    }
    std::free(P);
}

void* AllocateOrThrow(size_t Size) {
    while (true) {
        if (void* P = Allocate(Size)) return P;
        std::new_handler Handler = std::get_new_handler();
        if (!Handler) throw std::bad_alloc();
        Handler();
    }
}

} // namespace

void* operator new(size_t Size) {
    return AllocateOrThrow(Size);
}
void* operator new[](size_t Size) {
    return AllocateOrThrow(Size);
}
void* operator new(size_t Size, const std::nothrow_t&) noexcept {
    try {
        return AllocateOrThrow(Size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t Size, const std::nothrow_t&) noexcept {
    try {
        return AllocateOrThrow(Size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* P) noexcept {
    Release(P);
}
void operator delete[](void* P) noexcept {
    Release(P);
}
void operator delete(void* P, size_t) noexcept {
    Release(P);
}
void operator delete[](void* P, size_t) noexcept {
    Release(P);
}
void operator delete(void* P, const std::nothrow_t&) noexcept {
    Release(P);
}
void operator delete[](void* P, const std::nothrow_t&) noexcept {
    Release(P);
}

#endif

// Guarded blocks for the fuzzing harness: every block ends exactly where a no-access page
// begins, so reading or writing one byte past its end faults at once.
//
// A block of n bytes starts n bytes before its guard page, so an odd size gives an odd
// start: the end of the requested bytes, not a rounded size, touches the guard. (x86-64
// does not fault on unaligned access, and the loader never relies on LocalAlloc's
// alignment.) The pages before the block's first page stay no-access as well, and a freed
// block's pages are made no-access until the block is handed out again, so a read before
// the start or after the free faults too, at page granularity.
//
// The regions are reserved once, in size classes, and reused in first-freed-first-reused
// order: a block costs two VirtualProtect calls, never a VirtualAlloc or VirtualFree. One
// thread at a time.
#pragma once

#include <windows.h>

#include <stddef.h>

namespace testing_support {

class GuardedPool {
  public:
    // Largest block the pool hands out; larger requests fail like an exhausted heap.
    static constexpr size_t kMaxBlockBytes = size_t{1} << 20;

    GuardedPool();
    ~GuardedPool();
    GuardedPool(const GuardedPool&) = delete;
    GuardedPool& operator=(const GuardedPool&) = delete;

    bool ok() const { return base_ != nullptr; }

    // A block of bytes bytes, zero-filled when zeroFill is set and filled with 0xA5
    // otherwise; null (ERROR_NOT_ENOUGH_MEMORY) when it is too large or the class is
    // exhausted.
    void* Allocate(size_t bytes, bool zeroFill);
    // True when block is the start of a live block of this pool; it is then freed.
    bool Free(void* block);
    // Size of a live block; false when block is not the start of one.
    bool Size(const void* block, size_t* bytes) const;
    // True when address lies anywhere in the pool's reservation.
    bool Contains(const void* address) const;
    size_t liveBlocks() const { return live_; }
    // Requests that failed because a class had no free region (not because of their size).
    size_t exhausted() const { return exhausted_; }

  private:
    struct Region;
    struct SizeClass;
    Region* FindRegion(const void* block) const;

    BYTE* base_ = nullptr;
    size_t reservedBytes_ = 0;
    size_t page_ = 0;
    SizeClass* classes_ = nullptr;
    size_t classCount_ = 0;
    size_t live_ = 0;
    size_t exhausted_ = 0;
};

}  // namespace testing_support

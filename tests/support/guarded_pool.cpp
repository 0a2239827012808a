#include "tests/support/guarded_pool.h"

#include <string.h>

namespace testing_support {

namespace {

// Data pages of each class and how many regions it has. Most blocks the loader asks for are
// paths and small records; the value-name buffer is 16 pages; registry data may be large.
struct ClassShape {
    size_t dataPages;
    size_t regions;
};
constexpr ClassShape kShapes[] = {
    {1, 512}, {2, 128}, {4, 64}, {8, 32}, {17, 32}, {32, 16}, {64, 8}, {257, 4},
};
constexpr size_t kClassCount = sizeof(kShapes) / sizeof(kShapes[0]);
constexpr size_t kMaxRegionsPerClass = 512;

}  // namespace

struct GuardedPool::Region {
    BYTE* data = nullptr;   // first data page
    BYTE* guard = nullptr;  // the no-access page after the data pages
    BYTE* block = nullptr;  // start of the live block, null when free
    size_t bytes = 0;
};

struct GuardedPool::SizeClass {
    size_t dataPages = 0;
    size_t stride = 0;  // data pages and the guard page, in bytes
    BYTE* first = nullptr;
    size_t count = 0;
    Region regions[kMaxRegionsPerClass];
    // Free regions, oldest first, as a ring of indices.
    size_t ring[kMaxRegionsPerClass];
    size_t head = 0;
    size_t freeCount = 0;
};

GuardedPool::GuardedPool() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    size_t total = 0;
    for (const ClassShape& shape : kShapes) {
        total += (shape.dataPages + 1) * page_ * shape.regions;
    }
    base_ =
        static_cast<BYTE*>(VirtualAlloc(nullptr, total, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
    if (base_ == nullptr) {
        return;
    }
    reservedBytes_ = total;
    classes_ = new SizeClass[kClassCount];
    classCount_ = kClassCount;
    BYTE* cursor = base_;
    for (size_t c = 0; c < kClassCount; ++c) {
        SizeClass& sizeClass = classes_[c];
        sizeClass.dataPages = kShapes[c].dataPages;
        sizeClass.stride = (kShapes[c].dataPages + 1) * page_;
        sizeClass.first = cursor;
        sizeClass.count = kShapes[c].regions;
        for (size_t r = 0; r < sizeClass.count; ++r) {
            Region& region = sizeClass.regions[r];
            region.data = cursor + r * sizeClass.stride;
            region.guard = region.data + sizeClass.dataPages * page_;
            sizeClass.ring[r] = r;
        }
        sizeClass.freeCount = sizeClass.count;
        cursor += sizeClass.stride * sizeClass.count;
    }
}

GuardedPool::~GuardedPool() {
    delete[] classes_;
    if (base_ != nullptr) {
        VirtualFree(base_, 0, MEM_RELEASE);
    }
}

void* GuardedPool::Allocate(size_t bytes, bool zeroFill) {
    SizeClass* sizeClass = nullptr;
    for (size_t c = 0; c < classCount_; ++c) {
        if (classes_[c].dataPages * page_ >= bytes) {
            sizeClass = &classes_[c];
            break;
        }
    }
    if (sizeClass == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (sizeClass->freeCount == 0) {
        ++exhausted_;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const size_t index = sizeClass->ring[sizeClass->head];
    sizeClass->head = (sizeClass->head + 1) % sizeClass->count;
    --sizeClass->freeCount;
    Region& region = sizeClass->regions[index];
    region.block = region.guard - bytes;
    region.bytes = bytes;
    if (bytes != 0) {
        BYTE* firstPage =
            region.data + (static_cast<size_t>(region.block - region.data) / page_) * page_;
        DWORD old = 0;
        VirtualProtect(firstPage, static_cast<size_t>(region.guard - firstPage), PAGE_READWRITE,
                       &old);
        memset(region.block, zeroFill ? 0 : 0xA5, bytes);
    }
    ++live_;
    return region.block;
}

GuardedPool::Region* GuardedPool::FindRegion(const void* block) const {
    const BYTE* address = static_cast<const BYTE*>(block);
    if (!Contains(address)) {
        return nullptr;
    }
    for (size_t c = 0; c < classCount_; ++c) {
        SizeClass& sizeClass = classes_[c];
        const BYTE* end = sizeClass.first + sizeClass.stride * sizeClass.count;
        if (address < sizeClass.first || address >= end) {
            continue;
        }
        // A block, even a zero-byte one (which starts at its guard page), lies inside its
        // own region's stride.
        const size_t index = static_cast<size_t>(address - sizeClass.first) / sizeClass.stride;
        if (index < sizeClass.count && sizeClass.regions[index].block == address) {
            return &sizeClass.regions[index];
        }
        return nullptr;
    }
    return nullptr;
}

bool GuardedPool::Free(void* block) {
    Region* region = FindRegion(block);
    if (region == nullptr) {
        return false;
    }
    SizeClass* owner = nullptr;
    size_t index = 0;
    for (size_t c = 0; c < classCount_; ++c) {
        if (region >= classes_[c].regions && region < classes_[c].regions + classes_[c].count) {
            owner = &classes_[c];
            index = static_cast<size_t>(region - classes_[c].regions);
            break;
        }
    }
    if (region->bytes != 0) {
        BYTE* firstPage =
            region->data + (static_cast<size_t>(region->block - region->data) / page_) * page_;
        DWORD old = 0;
        VirtualProtect(firstPage, static_cast<size_t>(region->guard - firstPage), PAGE_NOACCESS,
                       &old);
    }
    region->block = nullptr;
    region->bytes = 0;
    owner->ring[(owner->head + owner->freeCount) % owner->count] = index;
    ++owner->freeCount;
    --live_;
    return true;
}

bool GuardedPool::Size(const void* block, size_t* bytes) const {
    const Region* region = FindRegion(block);
    if (region == nullptr) {
        return false;
    }
    *bytes = region->bytes;
    return true;
}

bool GuardedPool::Contains(const void* address) const {
    const BYTE* byte = static_cast<const BYTE*>(address);
    return base_ != nullptr && byte >= base_ && byte < base_ + reservedBytes_;
}

}  // namespace testing_support

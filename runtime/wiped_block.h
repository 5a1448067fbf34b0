// An owned heap block for secret working values: zeroed when it is taken,
// wiped and released when its owner lets go, on every path. Taken with
// malloc and zeroed with rt::wipe rather than calloc: the allocator hands the
// same block back on every login, so reconnects do not spread over the heap,
// and zeroing done this way cannot be folded back into calloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "runtime/wipe.h"

namespace rt {

class WipedBlock {
public:
    WipedBlock() = default;
    // size bytes, all zero; an empty block when size is 0 or memory is short.
    explicit WipedBlock(size_t size) {
        if (size == 0) return;
        p_ = std::malloc(size);
        if (p_ == nullptr) return;
        size_ = size;
        wipe(p_, size_);
    }
    WipedBlock(const WipedBlock&) = delete;
    WipedBlock& operator=(const WipedBlock&) = delete;
    WipedBlock(WipedBlock&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    WipedBlock& operator=(WipedBlock&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~WipedBlock() { reset(); }

    bool valid() const { return p_ != nullptr; }
    size_t size() const { return size_; }
    uint8_t* bytes() const { return static_cast<uint8_t*>(p_); }
    template <typename T>
    T* as() const { return static_cast<T*>(p_); }

    void reset() {
        if (p_ != nullptr) {
            wipe(p_, size_);
            std::free(p_);
        }
        p_ = nullptr;
        size_ = 0;
    }

private:
    void* p_ = nullptr;
    size_t size_ = 0;
};

}  // namespace rt

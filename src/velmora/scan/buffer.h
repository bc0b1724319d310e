// A growable byte buffer that reports allocation failure instead of
// aborting (the module is built without exceptions). It holds no Python
// object, so it may be used with the interpreter lock released.
//
// It may start on memory it does not own (lend()): the storage of the
// bytes object a scan returns, or of the caller's bytearray. Writes go
// straight there until it is full; only then does the buffer move to
// memory of its own, and borrowed() says it has. Lent storage said to be
// fresh (a new bytes object) of 256 KiB or more is asked of the system a
// few MiB ahead of the writes, in one call each time (Linux:
// MADV_POPULATE_WRITE), and in huge pages where the system gives them on
// request, instead of a page fault every 4 KiB. On a virtual machine those
// faults cost a scan of hundreds of MB a third of its time, and a result of
// 1 MiB is fresh memory on every call (the C library maps blocks that size
// and gives them back when freed). A caller's buffer is usually reused, so
// already there: asking for it again would cost a call for nothing.
#pragma once

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace velmora::scan {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ~ByteBuffer() {
        if (owned_) std::free(data_);
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          ready_(std::exchange(other.ready_, 0)),
          owned_(std::exchange(other.owned_, true)) {}

    // Write into [storage, storage + capacity) from now on; what was
    // written before is dropped. `fresh`: memory no page of which is there
    // yet, as a new large allocation is.
    void lend(uint8_t* storage, size_t capacity, bool fresh = false) {
        if (owned_) std::free(data_);
        data_ = storage;
        size_ = 0;
        capacity_ = capacity;
        ready_ = fresh && capacity >= kFresh ? 0 : capacity;
        owned_ = false;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (fresh && capacity >= 4 * kAhead) {  // whole huge pages inside it only: advice, which may be ignored
            const uintptr_t huge = uintptr_t(2) << 20;
            const uintptr_t from = (reinterpret_cast<uintptr_t>(storage) + huge - 1) & ~(huge - 1);
            const uintptr_t to = (reinterpret_cast<uintptr_t>(storage) + capacity) & ~(huge - 1);
            if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
        }
#endif
    }
    // Whether the bytes are still in the lent storage.
    bool borrowed() const { return !owned_; }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    void truncate(size_t n) {
        if (n < size_) size_ = n;
    }

    // Room for `extra` more bytes; false when memory ran out.
    bool reserve(size_t extra) {
        if (ready_ - size_ >= extra) return true;
        return make_room(extra);
    }
    bool append(const void* p, size_t n) {
        if (n == 0) return true;
        if (!reserve(n)) return false;
        std::memcpy(data_ + size_, p, n);
        size_ += n;
        return true;
    }
    bool fill(uint8_t c, size_t n) {
        if (n == 0) return true;
        if (!reserve(n)) return false;
        std::memset(data_ + size_, c, n);
        size_ += n;
        return true;
    }
    // `n` times `c` between double quotes. A short run is written a word
    // at a time where there is room for the last word's overshoot.
    bool quoted_run(uint8_t c, size_t n) {
        if (n > SIZE_MAX - 10 || !reserve(n + 2)) return false;
        uint8_t* to = data_ + size_;
        *to++ = '"';
        if (n <= 32 && ready_ - size_ >= n + 10) {
            const uint64_t word = 0x0101010101010101ull * c;
            for (size_t i = 0; i < n; i += 8) std::memcpy(to + i, &word, 8);
        } else {
            std::memset(to, c, n);
        }
        to[n] = '"';
        size_ += n + 2;
        return true;
    }
    // The `n` bytes at `run`, then `count` stars between double quotes:
    // what a masked string leaves, with its pending run before it, under
    // one check for room. A short run of stars is four word stores where
    // there is room for their overshoot.
    bool run_and_stars(const uint8_t* run, size_t n, size_t count) {
        if (n > SIZE_MAX / 4 || count > SIZE_MAX / 4 || !reserve(n + count + 2)) return false;
        uint8_t* to = data_ + size_;
        if (n != 0) std::memcpy(to, run, n);
        to += n;
        *to++ = '"';
        if (count <= 32 && ready_ - size_ >= n + 34) {
            const uint64_t word = 0x2A2A2A2A2A2A2A2Aull;  // "********"
            std::memcpy(to, &word, 8);
            std::memcpy(to + 8, &word, 8);
            std::memcpy(to + 16, &word, 8);
            std::memcpy(to + 24, &word, 8);
        } else {
            std::memset(to, '*', count);
        }
        to[count] = '"';
        size_ += n + count + 2;
        return true;
    }
    bool push(uint8_t c) {
        if (size_ == ready_ && !make_room(1)) return false;
        data_[size_++] = c;
        return true;
    }
    uint8_t back() const { return data_[size_ - 1]; }
    uint8_t& back() { return data_[size_ - 1]; }
    void pop() { size_--; }

private:
    static constexpr size_t kAhead = size_t(4) << 20;
    static constexpr size_t kFresh = size_t(256) << 10;

    bool make_room(size_t extra) {
        if (capacity_ - size_ < extra) return grow(extra);
        // Lent storage with room, not yet asked for: the next few MiB.
        size_t ready = size_ + extra + kAhead;
        if (ready > capacity_ || capacity_ - ready < kAhead / 2) ready = capacity_;
#if defined(__linux__)
        constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE, Linux 5.14
        const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
        const uintptr_t from = reinterpret_cast<uintptr_t>(data_ + ready_) & ~(page - 1);
        const uintptr_t to = reinterpret_cast<uintptr_t>(data_ + ready) & ~(page - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, kPopulateWrite);  // advice only
#endif
        ready_ = ready;
        return true;
    }

    bool grow(size_t extra) {
        if (extra > SIZE_MAX / 2 - size_) return false;
        size_t want = capacity_ < 256 ? 256 : capacity_;
        while (want - size_ < extra) want *= 2;
        void* p = owned_ ? std::realloc(data_, want) : std::malloc(want);
        if (p == nullptr) return false;
        if (!owned_ && size_ > 0) std::memcpy(p, data_, size_);
        owned_ = true;
        data_ = static_cast<uint8_t*>(p);
        capacity_ = want;
        ready_ = want;
        return true;
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    size_t ready_ = 0;  // up to here writes need no check (capacity_ unless lent)
    bool owned_ = true;
};

}  // namespace velmora::scan

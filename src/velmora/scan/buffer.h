// A growable byte buffer that reports allocation failure instead of
// aborting (the module is built without exceptions). It holds no Python
// object, so it may be used with the interpreter lock released.
//
// It may start on memory it does not own (lend()): the storage of the
// bytes object a scan returns, or of the caller's bytearray. Writes go
// straight there until it is full; only then does the buffer move to
// memory of its own, and borrowed() says it has.
#pragma once

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
          owned_(std::exchange(other.owned_, true)) {}

    // Write into [storage, storage + capacity) from now on; what was
    // written before is dropped.
    void lend(uint8_t* storage, size_t capacity) {
        if (owned_) std::free(data_);
        data_ = storage;
        size_ = 0;
        capacity_ = capacity;
        owned_ = false;
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
        if (capacity_ - size_ >= extra) return true;
        return grow(extra);
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
    bool push(uint8_t c) {
        if (size_ == capacity_ && !grow(1)) return false;
        data_[size_++] = c;
        return true;
    }
    uint8_t back() const { return data_[size_ - 1]; }
    uint8_t& back() { return data_[size_ - 1]; }
    void pop() { size_--; }

private:
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
        return true;
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool owned_ = true;
};

}  // namespace velmora::scan

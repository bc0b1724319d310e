// Plain arrays from malloc that report failure instead of aborting (the
// module is built without exceptions). They hold no Python object, so an
// engine made of them may be read without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace velmora::detect {

template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Array() = default;
    ~Array() { std::free(data_); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    Array(Array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Array& operator=(Array&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }

    // `n` zeroed items; false when memory ran out.
    bool zeroed(size_t n) {
        std::free(data_);
        data_ = n > 0 ? static_cast<T*>(std::calloc(n, sizeof(T))) : nullptr;
        size_ = capacity_ = data_ != nullptr ? n : 0;
        return data_ != nullptr || n == 0;
    }
    bool push(const T& item) {
        if (size_ == capacity_ && !reserve(capacity_ < 16 ? 16 : capacity_ * 2)) return false;
        data_[size_++] = item;
        return true;
    }
    bool append(const T* items, size_t n) {
        if (n == 0) return true;
        if (n > capacity_ - size_) {
            size_t want = capacity_ < 16 ? 16 : capacity_;
            while (want - size_ < n) {
                if (want > SIZE_MAX / (2 * sizeof(T))) return false;
                want *= 2;
            }
            if (!reserve(want)) return false;
        }
        std::memcpy(data_ + size_, items, n * sizeof(T));
        size_ += n;
        return true;
    }
    bool reserve(size_t n) {
        if (n <= capacity_) return true;
        if (n > SIZE_MAX / sizeof(T)) return false;
        T* p = static_cast<T*>(std::realloc(data_, n * sizeof(T)));
        if (p == nullptr) return false;
        data_ = p;
        capacity_ = n;
        return true;
    }
    void clear() { size_ = 0; }

    T* data() { return data_; }
    const T* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace velmora::detect

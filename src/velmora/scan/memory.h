// The memory a call reads and writes: the input, held for the call and read
// where it is, and the result, written straight into the object returned.
#pragma once

#include "buffer.h"
#include "state.h"

#include "../omit/ref.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

// The input bytes, readable without the lock.
class Input {
public:
    Input() = default;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input();
    // Hold the buffer of `data`. Immutable bytes are read where they are;
    // any other buffer (bytearray, mmap, ...) could be changed by Python
    // code while the scan runs, so it is copied first, unless `in_place`
    // (the caller's promise that nothing changes it during the call).
    // 0, or -1 with an exception set.
    int open(PyObject* data, const char* function, bool in_place = false);
    const uint8_t* begin() const { return begin_; }
    const uint8_t* end() const { return begin_ + size_; }
    size_t size() const { return size_; }

private:
    Py_buffer view_ = {};
    uint8_t* copy_ = nullptr;
    const uint8_t* begin_ = nullptr;
    size_t size_ = 0;
};

// A bytes result written in place: a bytes object is made up front, as
// large as the output usually gets (the input's size: masks and left-out
// lines only shrink it, but for masks of fixed text), and lent to the
// scanner's output. At the end it is shrunk to what was written; memory
// past that was never touched, so it never took pages. An output that
// outgrew it was moved to a buffer of its own, and is copied once.
class Result {
public:
    // 0, or -1 with MemoryError set.
    int lend(ByteBuffer& out, size_t capacity);
    // The bytes object of what `out` holds (a new reference), or null with
    // an exception set. Needs the interpreter lock.
    PyObject* finish(const ByteBuffer& out);

private:
    Ref bytes_;
};

// A caller's bytearray as the output: written in place while it is large
// enough, resized at the end otherwise.
class Target {
public:
    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target();
    // 0, or -1 with an exception set (not a bytearray; or sharing memory
    // with `input`).
    int open(PyObject* target, const Input& input, ByteBuffer& out);
    // Put what `out` holds into the bytearray; 0, or -1 with an exception set.
    int finish(const ByteBuffer& out);

private:
    PyObject* target_ = nullptr;  // borrowed: the caller's argument
    Py_buffer view_ = {};
};

}  // namespace velmora::scan

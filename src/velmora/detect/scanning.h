// Scans as the rest of the package and Python call them: on str and on
// UTF-8 bytes, with the interpreter lock released for long texts.
#pragma once

#include "detector.h"

namespace velmora::detect {

// Texts at least this long are scanned without the interpreter lock.
inline constexpr size_t kReleaseLockAt = 64 * 1024;

// Whether a scan may let other threads run meanwhile: only a call from
// Python may, never a walk of another module (their data could change).
enum class Lock { kKeep, kMayRelease };

// The spans of an exact (or subclass) str, ready. False with MemoryError set.
bool find_str_spans(const Engine& engine, PyObject* text, SpanList& spans, Lock lock);

// The mask of a str by `policy` (null: '*' per code point): a new
// reference to a new str, or to `text` when nothing is found; null with an
// exception set.
PyObject* mask_str(const Engine& engine, PyObject* text, const MaskPolicy* policy, Lock lock);

// A growable byte buffer behind a ByteSink.
class OutBuffer {
public:
    OutBuffer() = default;
    ~OutBuffer() { std::free(data_); }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    ByteSink sink() { return ByteSink{this, append_to, fill_to}; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    bool append(const uint8_t* p, size_t n);
    bool fill(uint8_t c, size_t n);

private:
    bool reserve(size_t extra);
    static bool append_to(void* self, const uint8_t* p, size_t n) { return static_cast<OutBuffer*>(self)->append(p, n); }
    static bool fill_to(void* self, uint8_t c, size_t n) { return static_cast<OutBuffer*>(self)->fill(c, n); }
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Find and mask UTF-8 text into `out`. False when memory ran out (no
// exception set: this needs no lock).
bool mask_utf8_text(const Engine& engine, const uint8_t* text, size_t size, const SpanMask& mask, Carry* carry,
                    OutBuffer& out);

// The engine of a detector for one call, released when the call ends.
class HeldEngine {
public:
    explicit HeldEngine(PyObject* detector) : engine_(acquire_engine(reinterpret_cast<DetectorObject*>(detector))) {}
    ~HeldEngine() { release(engine_); }
    HeldEngine(const HeldEngine&) = delete;
    HeldEngine& operator=(const HeldEngine&) = delete;
    explicit operator bool() const { return engine_ != nullptr; }
    const Engine& operator*() const { return *engine_; }

private:
    Engine* engine_;
};

// A bytes-like argument's buffer, released with it.
class HeldBuffer {
public:
    HeldBuffer() = default;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    // 1 taken, 0 not a bytes-like object (TypeError set), -1 failure.
    int take(PyObject* o);
    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return size_t(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace velmora::detect

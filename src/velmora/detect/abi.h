// What the package's other native modules may rely on about detectors.
//
// velmora.detect publishes a table of functions (DetectApi) in a capsule,
// the module attribute `_C_API`, named "velmora.detect._C_API". Another
// extension module of the package finds it at run time with
// `import_detect_api()`: it shares this header, not symbols.
//
// A detector's registered values and formats are compiled into an Engine:
// an immutable snapshot, reference-counted atomically. `acquire` (under
// the interpreter lock) gives the detector's current one, compiling it
// first if values changed since; scans then run on it with or without the
// lock, and see exactly the set it was made from, whatever threads add
// meanwhile. `release` may be called from any thread.
//
// Text comes in two forms:
//  * UTF-8 bytes (the JSON scanner's decoded strings, lines of a text
//    file). A lone surrogate must be written as its 3-byte form (what
//    Python's "surrogatepass" error handler writes), as registered values
//    are. Spans are byte offsets. Invalid UTF-8 is read as it is: formats
//    are ASCII, and a value containing non-ASCII characters matches only
//    its own encoding.
//  * str objects of every kind; spans are code point indices.
//
// Spans are sorted, disjoint and never touch (overlapping and touching
// matches are merged), and never contain a line break ('\n' or '\r'):
// a private key block spanning lines gives one span per line.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../omit/abi.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace velmora::detect {

// What found a span: one bit per format, and one for registered values. A
// merged span carries the bits of every match in it.
enum Kind : uint32_t {
    kAws = 1u << 0,
    kGithub = 1u << 1,
    kGitlab = 1u << 2,
    kSlack = 1u << 3,
    kStripe = 1u << 4,
    kGoogle = 1u << 5,
    kJwt = 1u << 6,
    kPrivateKey = 1u << 7,
    kUrlCredentials = 1u << 8,
    kAuthorization = 1u << 9,
    kCard = 1u << 10,
    kValue = 1u << 11,
};
inline constexpr int kFormatCount = 11;

// A span of a private key block keeps nothing under a keep-last policy:
// every line of the block is key material.
inline constexpr uint32_t kKeepsNothing = kPrivateKey;

struct Span {
    size_t begin;
    size_t end;  // exclusive; begin < end
    uint32_t kinds;
};

// A growable list of spans that keeps its first kInline spans in itself,
// so finding nothing (or little) allocates nothing. It holds no Python
// object and may be used without the interpreter lock. Memory beyond the
// inline part comes from malloc: both modules use the same C library.
class SpanList {
public:
    static constexpr size_t kInline = 16;
    SpanList() = default;
    ~SpanList() {
        if (data_ != inline_) std::free(data_);
    }
    SpanList(const SpanList&) = delete;
    SpanList& operator=(const SpanList&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Span* begin() { return data_; }
    Span* end() { return data_ + size_; }
    const Span* begin() const { return data_; }
    const Span* end() const { return data_ + size_; }
    Span& operator[](size_t i) { return data_[i]; }
    const Span& operator[](size_t i) const { return data_[i]; }
    Span& back() { return data_[size_ - 1]; }
    void clear() { size_ = 0; }
    void truncate(size_t n) {
        if (n < size_) size_ = n;
    }
    // False when memory ran out.
    bool push(const Span& span) {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = span;
        return true;
    }

private:
    bool grow() {
        if (capacity_ > SIZE_MAX / (2 * sizeof(Span))) return false;
        const size_t want = capacity_ * 2;
        Span* p;
        if (data_ == inline_) {
            p = static_cast<Span*>(std::malloc(want * sizeof(Span)));
            if (p != nullptr) std::memcpy(p, inline_, size_ * sizeof(Span));
        } else {
            p = static_cast<Span*>(std::realloc(data_, want * sizeof(Span)));
        }
        if (p == nullptr) return false;
        data_ = p;
        capacity_ = want;
        return true;
    }

    Span inline_[kInline];
    Span* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = kInline;
};

// Where masked UTF-8 goes: two callbacks on the caller's buffer, each
// false when memory ran out. Called without the interpreter lock.
struct ByteSink {
    void* context;
    bool (*append)(void* context, const uint8_t* data, size_t size);
    bool (*fill)(void* context, uint8_t byte, size_t count);
};

// A mask policy as plain data, readable without the interpreter lock. Made
// from a MaskPolicy by `span_mask` (under the lock); `text` points into the
// policy's str, which must outlive every use.
struct SpanMask {
    MaskPolicy::Kind kind;
    size_t keep;         // kKeepLast
    const char* text;    // kFixed: UTF-8 (a mask text with lone surrogates is refused)
    size_t text_size;
};

// State carried from one piece of a text to the next, for a private key
// block whose END line has not been seen yet. Zero-initialised: none open.
struct Carry {
    bool in_block;
};

struct Engine;  // opaque: a compiled snapshot of a detector

struct DetectApi {
    // Layout check: a module built against an older table refuses a newer
    // one (import_detect_api compares both).
    uint32_t version;
    uint32_t size;

    // The detector type (final: no subclasses). Lives as long as the process.
    PyTypeObject* detector_type;

    // ---- Under the interpreter lock ----

    // The detector's current engine, compiled first if its values changed:
    // a new reference, or null with an exception set (MemoryError, or
    // TypeError when `detector` is not a Detector). Runs no Python code.
    Engine* (*acquire)(PyObject* detector);
    // The detector's own mask policy: borrowed, unchanged for the
    // detector's whole life. Never null.
    const MaskPolicy* (*mask_policy)(PyObject* detector);
    // Fill `out` from `policy` (null: '*' per code point). 0, or -1 with an
    // exception set. `out` borrows from the policy's text.
    int (*span_mask)(const MaskPolicy* policy, SpanMask* out);
    // The mask of an exact str: a new reference to a new str, or to
    // `text` itself when nothing in it is found; null with an exception
    // set. Allocates nothing but the result. Runs no Python code.
    PyObject* (*mask_str)(const Engine* engine, PyObject* text, const MaskPolicy* policy);

    // ---- With or without the interpreter lock ----

    // Drop a reference taken by `acquire`.
    void (*release)(Engine* engine);
    // Find the spans of [text, text + size) (UTF-8) into `spans` (cleared
    // first). `carry` (may be null: none) says whether the text starts
    // inside an open private key block, and is updated for the next piece.
    // 0, or -1 when memory ran out (no exception set).
    int (*find_utf8)(const Engine* engine, const uint8_t* text, size_t size, SpanList* spans, Carry* carry);
    // The same for a str (any kind, ready), in code point indices. The
    // str must be kept alive by the caller; reading it needs no lock.
    int (*find_str)(const Engine* engine, PyObject* text, SpanList* spans);
    // Write [text, text + size) to `sink` with `spans` (from find_utf8 on
    // the same text) masked by `mask`; everything else is copied as it is.
    // 0, or -1 when the sink ran out of memory.
    int (*mask_utf8)(const uint8_t* text, size_t size, const SpanList* spans, const SpanMask* mask, ByteSink* sink);
};

inline constexpr uint32_t kDetectApiVersion = 1;
inline constexpr const char* kDetectApiCapsule = "velmora.detect._C_API";

// Fill `api` from velmora.detect (imported if need be). 0, or -1 with an
// exception set.
inline int import_detect_api(const DetectApi** api) {
    void* found = PyCapsule_Import(kDetectApiCapsule, 0);
    if (found == nullptr) return -1;
    const DetectApi* table = static_cast<const DetectApi*>(found);
    if (table->version != kDetectApiVersion || table->size < sizeof(DetectApi)) {
        PyErr_Format(PyExc_ImportError, "velmora.detect's API is version %u, this module needs version %u",
                     table->version, kDetectApiVersion);
        return -1;
    }
    *api = table;
    return 0;
}

}  // namespace velmora::detect

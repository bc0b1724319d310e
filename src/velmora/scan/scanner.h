// The scanner: reads JSON text, checks it, and writes it through unchanged
// but for the values an omitter hides.
//
// Output is made of runs of the input: the scanner remembers where the
// pending run starts and copies it only when a mask has to go in, so text
// that needs no mask costs one memcpy. Verdicts follow the omitter's walk
// of parsed data: an object member by its key, an array by the verdict of
// its key (items inherit it, nested arrays too), nested objects by their
// own keys; a top-level value by the verdict of "no key". Nesting is kept
// on a heap stack of one byte per level, so depth is bounded by memory only.
//
// The grammar itself is in grammar.h, compiled once per vector path
// (paths.h); this class holds what a scan keeps between its steps. It holds
// no Python object and runs without the interpreter lock; it asks
// `Verdicts` about keys it has not seen in this scan.
#pragma once

#include "buffer.h"
#include "keys.h"
#include "masks.h"
#include "paths.h"
#include "selection.h"

#include <cstddef>
#include <cstdint>

namespace velmora::scan {

enum class Fault : uint8_t {
    kNone,
    kExpectingValue,
    kExpectingComma,
    kExpectingColon,
    kExpectingName,
    kUnterminatedString,
    kControlCharacter,
    kInvalidEscape,
    kInvalidUnicodeEscape,
    kInvalidUtf8,
    kExtraData,
    // Not faults of the text: the scan cannot go on.
    kNoMemory,
    kVerdictFailed,  // the omitter raised; its exception is set
};

// The message of a fault of the text.
const char* fault_message(Fault fault);

// Where verdicts come from when the key table has none. `ask` answers for
// the raw key bytes [key, key_end), or for a top-level value when `key` is
// null: 1 hide, 0 keep, -1 failure (with the Python exception set).
struct Verdicts {
    int (*ask)(void* context, const uint8_t* key, const uint8_t* key_end);
    void* context;
};

// One line the scanner could not take.
struct LineFault {
    Fault fault;
    size_t where;       // offset of the offending byte in the data
    size_t line_begin;  // offset of the line
    size_t line_end;    // offset past its line break (or the end of data)
};

template <class Find, bool kPlan>
class Grammar;
class Detection;

class Scanner {
public:
    Scanner(const MaskSpec& spec, Verdicts verdicts, ByteBuffer& out, Path path = current_path())
        : spec_(spec), verdicts_(verdicts), out_(out), path_(path) {
        stack_.lend(stack_storage_, sizeof stack_storage_);
    }

    // Scan one JSON text, [begin, end): an optional byte order mark, white
    // space, one value, white space; the output runs from `begin`. Text of
    // white space alone (after the mark) sets *blank and is no fault here.
    // On a fault of the text, *where is the offending byte: the opening
    // quote of an unterminated string, just after the last token when the
    // text ends too early.
    Fault text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where);

    // Scan JSON Lines [begin, end): each line (up to and excluding "\n") is
    // one JSON text or blank. Good and blank lines pass through; a bad line
    // is recorded in `faults` and, with `skip_bad`, left out of the output
    // (the run goes on), otherwise the output ends before it and the scan
    // stops. *lines counts the lines read (a last one without a line break
    // too). Returns kNone, or the fault that stopped everything (no memory,
    // or the omitter's failure).
    Fault lines(const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults, size_t* lines);

    // Copy what is pending of the input up to `end` (after text()).
    bool finish(const uint8_t* end) { return flush(end); }

    // Verdicts known before the scan: `key` (raw bytes without escapes)
    // gets `verdict`, and with know_the_rest(), every other key written
    // without escapes gets `rest` without asking. False when memory ran out.
    bool remember(const uint8_t* key, size_t n, int verdict) {
        const unsigned bit = told_bit(key, n);
        told_[bit >> 6] |= uint64_t(1) << (bit & 63);
        return keys_.insert(key, n, KeyCache::probe(key, n), verdict) != nullptr;
    }
    void know_the_rest(int rest) { rest_ = rest; }

    // Also mask what `detection` finds inside every string value that is
    // not hidden whole (never inside keys). Null: none.
    void detect_with(Detection* detection) { detect_ = detection; }

    // Decide values by the omitter's rule plan too (selection.h): paths,
    // number and boolean policies, a policy per rule. The verdicts then
    // come with the bits selection.h describes. Not called: no plan.
    bool planned() const { return plan_ != nullptr; }
    void plan_with(const ScanPlan& plan) {
        plan_ = plan.plan;
        specs_ = plan.specs;
        root_state_ = states_.number(plan_->root);
    }

private:
    template <class Find, bool kPlan>
    friend class Grammar;

    // A level of the stack: its items are hidden (kDo), it is an array, and,
    // under a plan, it has a frame of its own (kFramed); a container
    // without one stands in the frame below it (selection.h: still).
    enum : uint8_t { kDo = 1, kArray = 2, kFramed = 4 };

    // Copy the pending run up to `upto`.
    bool flush(const uint8_t* upto) {
        const bool ok = out_.append(copy_from_, size_t(upto - copy_from_));
        copy_from_ = upto;
        return ok;
    }
    // A filter of the keys told up front: a bit of 256 for each, picked by
    // its length and its first and last bytes.
    static unsigned told_bit(const uint8_t* key, size_t n) {
        if (n == 0) return 0;
        const uint32_t h = (uint32_t(key[0]) | uint32_t(key[n - 1]) << 8 | uint32_t(n) << 16) * 0x9E3779B1u;
        return h >> 24;
    }
    bool maybe_told(const uint8_t* key, size_t n) const {
        const unsigned bit = told_bit(key, n);
        return (told_[bit >> 6] >> (bit & 63)) & 1;
    }

    // The verdict of a member's key; `plain`: the key has no escape.
    int member_verdict(const uint8_t* key, const uint8_t* key_end, bool plain) {
        const size_t n = size_t(key_end - key);
        // Most keys of a log are none of those told: the filter says so
        // without a look into the table.
        if (rest_ >= 0 && plain && !maybe_told(key, n)) return rest_;
        const KeyProbe k = KeyCache::probe(key, n);
        const int known = keys_.find(key, n, k);
        if (known >= 0) return known;
        // Keys written without escapes that the omitter was not told about
        // up front all get the same answer: not worth a place in the table
        // (a small document would spend more on filling it than on its
        // bytes).
        if (rest_ >= 0 && plain) return rest_;
        return ask_member(key, key_end, k);
    }
    int ask_member(const uint8_t* key, const uint8_t* key_end, const KeyProbe& k);
    // Under a plan: the key table's entry for a member's key (its verdict
    // bits, and the path positions that name it), asked about on first
    // sight; null when that failed. Valid until the next key is learnt.
    const KeyCache::Slot* member_key(const uint8_t* key, const uint8_t* key_end, bool escaped) {
        const size_t n = size_t(key_end - key);
        const KeyCache::Slot* known = keys_.next(key, n);
        if (known != nullptr) return known;
        const KeyProbe k = KeyCache::probe(key, n);
        known = keys_.find_slot(key, n, k);
        if (known == nullptr) known = learn(key, key_end, escaped, k);
        if (known != nullptr) keys_.met(known);
        return known;
    }
    const KeyCache::Slot* learn(const uint8_t* key, const uint8_t* key_end, bool escaped, const KeyProbe& k);
    int top_verdict();

    const MaskSpec& spec_;
    Verdicts verdicts_;
    ByteBuffer& out_;
    Path path_;
    KeyCache keys_;
    ByteBuffer stack_;
    uint8_t stack_storage_[64];  // where the stack starts: no allocation for shallow text
    const uint8_t* copy_from_ = nullptr;
    int top_verdict_ = -1;
    int rest_ = -1;  // see know_the_rest(); -1: ask
    uint64_t told_[4] = {};  // see told_bit()
    Fault fault_ = Fault::kNone;
    const uint8_t* where_ = nullptr;
    Detection* detect_ = nullptr;
    const RulePlan* plan_ = nullptr;
    const MaskSpec* specs_ = nullptr;  // a spec per policy slot of the plan
    FrameStack frames_;                // a frame per open container, under a plan
    StateTable states_;                // the automaton's states met so far
    uint32_t root_state_ = StateTable::kUnnumbered;
    ByteBuffer label_;                 // an escaped key's name, decoded for the paths
};

}  // namespace velmora::scan

// What a rule plan (omit/rule_plan.h) asks of a scan: a mask spec per
// policy, and per open container the state of the path automaton, the
// policy its items inherit and the index of its next item.
//
// Only scans of an omitter with a plan use any of this; the others never
// touch it.
#pragma once

#include "../omit/rule_plan.h"
#include "buffer.h"
#include "masks.h"

#include <cstdlib>

namespace velmora::scan {

// Verdicts of an omitter with a plan, as the key table keeps them: bit 0
// hidden, bit 1 a word never trusted (trusting plans with paths), the
// policy slot above.
enum : int { kHidden = 1, kDenied = 2, kSlotShift = 2 };

// The plan of the omitter a scan serves, with a MaskSpec per policy slot,
// read with the interpreter lock held.
struct ScanPlan {
    const RulePlan* plan = nullptr;
    MaskSpec* specs = nullptr;  // [plan->policy_count]
    ScanPlan() = default;
    ScanPlan(const ScanPlan&) = delete;
    ScanPlan& operator=(const ScanPlan&) = delete;
    ~ScanPlan() { delete[] specs; }
};

// Read the plan of `omitter`, if it has one. 0, or -1 with an exception set.
int read_scan_plan(OmitterObject* omitter, ScanPlan* out);

// The per-policy part of read_mask_spec: `policy` (null: the default) into `spec`.
int read_policy(const MaskPolicy* policy, MaskSpec* spec);

// The state of one open container.
struct Frame {
    PathState state;
    uint32_t slot;   // the policy its items inherit when it hides them
    size_t items;    // the index of its next item
};

// A stack of frames that reports allocation failure instead of aborting.
class FrameStack {
public:
    FrameStack() = default;
    ~FrameStack() { std::free(frames_); }
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;

    bool push(const Frame& frame) {
        if (size_ == capacity_) {
            const size_t want = capacity_ < 16 ? 16 : capacity_ * 2;
            void* grown = std::realloc(frames_, want * sizeof(Frame));
            if (grown == nullptr) return false;
            frames_ = static_cast<Frame*>(grown);
            capacity_ = want;
        }
        frames_[size_++] = frame;
        return true;
    }
    void pop() { size_--; }
    void clear() { size_ = 0; }
    Frame& top() { return frames_[size_ - 1]; }

private:
    Frame* frames_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The name of a key whose raw bytes hold an escape, decoded into `out` in
// the form path names are kept in: UTF-8, a lone surrogate as its three
// bytes ("surrogatepass"). False when memory ran out.
bool decode_key_utf8(const uint8_t* p, const uint8_t* end, ByteBuffer& out);

}  // namespace velmora::scan

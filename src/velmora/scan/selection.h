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

// The automaton's states met in one scan, numbered, so that a key can
// remember the step it took from the last state it was met in
// (KeyCache::Slot: from, to) and need not be stepped again there. At most
// kMaxStates are numbered; past that (or when memory runs out), states go
// unnumbered and are stepped each time, as they would be without the table.
class StateTable {
public:
    static constexpr uint32_t kUnnumbered = 0xFFFFFFFFu;
    static constexpr uint32_t kMaxStates = 4096;

    StateTable() = default;
    ~StateTable();
    StateTable(const StateTable&) = delete;
    StateTable& operator=(const StateTable&) = delete;

    // The number of `state`, numbered now if it is new.
    uint32_t number(const PathState& state);
    const PathState& operator[](uint32_t id) const { return states_[id]; }

    // The number of the state of item `index` of an array in the state
    // numbered `id`. Every item past the state's largest live index takes
    // the same step, so a state whose indexes are all below kItemSteps
    // remembers at most kItemSteps + 1 steps and takes each once; for any
    // other state (or when the table is full), kUnnumbered.
    uint32_t item(const RulePlan* plan, uint32_t id, size_t index) {
        const ItemSteps& steps = items_[id];
        if (steps.known) {
            if (steps.rest > kItemSteps) return kUnnumbered;
            const uint32_t to = steps.to[index < steps.rest ? index : steps.rest];
            if (to != 0) return to - 1;
        }
        return learn_item(plan, id, index);
    }

private:
    static constexpr uint32_t kItemSteps = 4;
    struct ItemSteps {
        uint32_t to[kItemSteps + 1];  // a number + 1; 0: not taken yet
        uint32_t rest;                // the first index past every live one
        bool known;                   // `rest` is set
    };

    static uint64_t hash(const PathState& state);
    bool grow();
    uint32_t learn_item(const RulePlan* plan, uint32_t id, size_t index);

    PathState* states_ = nullptr;
    ItemSteps* items_ = nullptr;  // [a state's number], beside states_
    uint32_t count_ = 0;
    uint32_t* index_ = nullptr;  // open addressing: a number + 1, 0 empty
    uint32_t mask_ = 0;
};

// The state of one open container.
struct Frame {
    PathState state;
    uint32_t id;     // the state's number (StateTable)
    uint32_t slot;   // the policy its items inherit when it hides them
    uint32_t still;  // see frame_of()
    size_t items;    // the index of its next item
};

// A frame for a container in `state`. It is `still` when only `..name`
// positions are live (or none), besides the ends of paths that selected
// the container itself, inside a selected subtree or not: an item, or a
// member whose key names none of them, then stands in this very state (a
// subtree's `selected` word passes down as it is; an end takes no step, so
// the state it leaves in the child decides all below as this one does), and
// costs no step of the automaton.
inline bool still_state(const RulePlan* plan, const PathState& state) {
    uint64_t moving = 0;
    for (int w = 0; w < kPathWords; w++) moving |= state.live[w] & ~(plan->descend[w] | plan->ends[w]);
    return moving == 0;
}
inline Frame frame_of(const RulePlan* plan, const PathState& state, uint32_t id, uint32_t slot) {
    return Frame{state, id, slot, still_state(plan, state), 0};
}

// Whether any of the positions `names` is live in `state`.
inline bool names_live(const PathState& state, const uint64_t* names) {
    uint64_t any = 0;
    for (int w = 0; w < kPathWords; w++) any |= state.live[w] & names[w];
    return any != 0;
}

// A stack of frames that reports allocation failure instead of aborting.
class FrameStack {
public:
    FrameStack() = default;
    ~FrameStack() { std::free(frames_); }
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;

    // The new top, or null when memory ran out.
    Frame* push(const Frame& frame) {
        if (size_ == capacity_) {
            const size_t want = capacity_ < 16 ? 16 : capacity_ * 2;
            void* grown = std::realloc(frames_, want * sizeof(Frame));
            if (grown == nullptr) return nullptr;
            frames_ = static_cast<Frame*>(grown);
            capacity_ = want;
        }
        frames_[size_] = frame;
        return &frames_[size_++];
    }
    // The new top, or null when the stack is empty.
    Frame* pop() {
        size_--;
        return size_ != 0 ? &frames_[size_ - 1] : nullptr;
    }
    void clear() { size_ = 0; }

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

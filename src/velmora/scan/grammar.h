// The scanner's grammar, as steps: a value, a string, a scalar (number or
// literal), a container, and what comes after a value (a comma, a member
// name, a closing bracket). Each step takes the position of its token and
// returns the position just past it, or null with the fault set.
//
// The grammar is strict JSON with the extensions Python's json accepts by
// default: the number tokens NaN, Infinity and -Infinity, and escaped lone
// surrogates in strings. Messages name faults as Python's json does.
//
// This header is compiled once per vector path, with `Find` saying how the
// next interesting byte is found (find.h), and twice for each: with kPlan
// for an omitter with a rule plan (selection.h, planned_*.cpp), without it
// for all others, whose scans never look at a plan (path_*.cpp). It
// defines templates only, so each path's copy stays its own.
//
// Where later work plugs in: `Slot` is what a value knows about its place
// (the key it stands under, or the array it is an item of), and a level of
// the stack is where a container's own state would go; `string()` has the
// decoded text at hand through next_code_point() when it needs to look into
// a value rather than mask it whole.
#pragma once

#include "detection.h"
#include "scanner.h"
#include "selection.h"
#include "text.h"

#include <cstring>

namespace velmora::scan {

template <class Find, bool kPlan>
class Grammar {
public:
    explicit Grammar(Scanner& s)
        : s_(s),
          whole_(s.spec_.whole),
          detect_(s.detect_ != nullptr),
          plan_(kPlan ? s.plan_ : nullptr),
          typed_(kPlan && plan_->typed),
          plain_scalars_(!typed_ && !whole_) {}

    Fault text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where);
    Fault lines(const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults, size_t* lines);

private:
    // Where a value stands: the verdict of a string or an array there comes
    // from its key, from the array it is an item of, or from "no key".
    struct Slot {
        enum Kind : uint8_t { kTop, kMember, kItem };
        Kind kind;
        bool plain;  // a member's key has no escape
        const uint8_t* key;
        const uint8_t* key_end;
    };

    // What a rule plan decides for a value: whether it is hidden, by which
    // policy slot, whether it is replaced whole, and its automaton state.
    struct Decision {
        bool hide;
        bool replace;
        uint32_t slot;
        uint32_t selected;  // the state's `selected` word
        PathState state;    // only filled in for a container
        uint32_t id;        // the state's number, if known (StateTable)
        bool same;          // it stands in its container's state
    };

    const uint8_t* value(const uint8_t* p, Slot slot);
    const uint8_t* planned_value(const uint8_t* p, Slot slot);
    bool decide(uint8_t c, Slot slot, const KeyCache::Slot* key, Decision* d);
    bool member_state(bool container, Slot slot, const KeyCache::Slot* key, Decision* d, int* v);
    // Whether a value with the verdict bits `v` in a state whose `selected`
    // word is `selected` is hidden: selected, or hidden by its key; under a
    // trusting plan, a selected value is hidden only by a word never trusted.
    bool hides(int v, uint32_t selected) const {
        if (selected & PathState::kInSubtree) return !plan_->trusting || (v & kDenied) != 0;
        return (v & kHidden) != 0;
    }
    const uint8_t* planned_scalar(const uint8_t* p, const Decision& d);
    const uint8_t* still_item(const uint8_t* p, uint8_t c);
    const uint8_t* planned_open(const uint8_t* p, Decision& d);
    // Whether a container that stands in its parent's state (`same`) can
    // go without a frame of its own: the parent's is still, and hands the
    // same policy to hidden items.
    bool shares(bool same, bool array, bool hide, uint32_t slot) const {
        return same && top_->still && (!array || !hide || slot == top_->slot);
    }
    static uint8_t level_of(bool array, bool hide) {
        return uint8_t(array ? Scanner::kArray | (hide ? Scanner::kDo : 0) : 0);
    }
    const uint8_t* push_level(const uint8_t* p, uint8_t level);
    const uint8_t* string(const uint8_t* p, Slot slot);
    const uint8_t* scalar(const uint8_t* p, Slot slot);
    const uint8_t* open(const uint8_t* p, Slot slot);
    const uint8_t* next(const uint8_t* p, Slot* slot);
    const uint8_t* member(const uint8_t* p, Slot* slot);
    const uint8_t* close(const uint8_t* p);

    template <bool kCount>
    const uint8_t* string_body(const uint8_t* p, size_t* count);
    const uint8_t* escape(const uint8_t* p, bool pair);
    const uint8_t* plain_string(const uint8_t* p);
    const uint8_t* masked_string(const uint8_t* p, const MaskSpec& spec);
    const uint8_t* detected_string(const uint8_t* p);
    bool replace_whole(const uint8_t* from, const uint8_t* resume, const MaskSpec& spec);
    int verdict(Slot slot);

    // Mostly there is no space, or one (", " and ": "), before a token:
    // both are told by a byte or two, without the vector search.
    const uint8_t* skip_space(const uint8_t* p) {
        if (end_ - p >= 2) {
            if (*p > ' ') return p;
            if (*p == ' ' && p[1] > ' ') return p + 1;
        }
        return Find::space_stop(p, end_);
    }
    const uint8_t* fail(Fault fault, const uint8_t* where) {
        s_.fault_ = fault;
        s_.where_ = where;
        return nullptr;
    }
    // A text that ends too early is reported just after its last token.
    const uint8_t* fail_at_end(Fault fault) {
        const uint8_t* p = end_;
        while (p > begin_ && is_space(p[-1])) p--;
        return fail(fault, p);
    }
    const uint8_t* no_memory() { return fail(Fault::kNoMemory, nullptr); }
    Fault failed();

    static bool literal(const uint8_t* p, const uint8_t* end, const char* word, size_t n) {
        return size_t(end - p) >= n && std::memcmp(p, word, n) == 0;
    }
    [[gnu::always_inline]] static const uint8_t* scalar_token(const uint8_t* p, const uint8_t* end);
    [[gnu::always_inline]] static const uint8_t* digits(const uint8_t* p, const uint8_t* end) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Eight at a time: a byte is a digit when it and it plus 6 are both
        // 0x3_ (a carry out of a byte of 0xFA and up only reaches bytes
        // above the first that is not a digit).
        constexpr uint64_t ones = 0x0101010101010101ull;
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            const uint64_t off = ((w & ones * 0xF0) ^ ones * 0x30) | (((w + ones * 6) & ones * 0xF0) ^ ones * 0x30);
            if (off != 0) return p + (__builtin_ctzll(off) >> 3);
            p += 8;
        }
#endif
        while (p < end && *p >= '0' && *p <= '9') p++;
        return p;
    }

    Scanner& s_;
    const bool whole_;            // the policy hides whole values
    const bool detect_;           // a detector looks into kept string values
    const RulePlan* const plan_;  // null: the verdicts and the mask policy decide alone
    const bool typed_;            // the plan masks numbers or booleans
    const bool plain_scalars_;    // under a plan: nothing changes a number or a literal
    Frame* top_ = nullptr;        // under a plan: the innermost container's frame
    // Inside a value that `whole` replaced: no verdicts, no masks, and the
    // run restarts after the value once the stack is back to quiet_depth_.
    bool quiet_ = false;
    size_t quiet_depth_ = 0;
    const uint8_t* begin_ = nullptr;
    const uint8_t* end_ = nullptr;
    // The innermost container, kept here as well as on the stack: its level
    // (kArray, kDo), the stack's size, and whether it has no member or item
    // yet.
    uint8_t level_ = 0;
    size_t depth_ = 0;
    bool fresh_ = false;
    bool escaped_ = false;  // the last string body read held an escape
};

// ---- A text ---------------------------------------------------------------------

template <class Find, bool kPlan>
Fault Grammar<Find, kPlan>::text(const uint8_t* begin, const uint8_t* end, bool* blank, const uint8_t** where) {
    begin_ = begin;
    end_ = end;
    const uint8_t* p = starts_with_bom(begin, end) ? begin + 3 : begin;
    p = skip_space(p);
    *blank = p == end;
    if (*blank) return Fault::kNone;
    s_.stack_.clear();
    if constexpr (kPlan) s_.frames_.clear();
    top_ = nullptr;
    depth_ = 0;
    fresh_ = false;
    quiet_ = false;
    s_.fault_ = Fault::kNone;
    s_.where_ = nullptr;
    // The hot loop: a value, then whatever leads to the next one.
    Slot slot{Slot::kTop, false, nullptr, nullptr};
    do {
        p = value(p, slot);
        if (p != nullptr) p = next(p, &slot);
    } while (p != nullptr && depth_ != 0);
    if (p == nullptr) {
        const Fault fault = failed();
        *where = s_.where_;
        return fault;
    }
    return Fault::kNone;
}

template <class Find, bool kPlan>
Fault Grammar<Find, kPlan>::failed() {
    Fault& fault = s_.fault_;
    if (fault == Fault::kNone) fault = Fault::kVerdictFailed;  // a verdict of -1 sets nothing here
    // A byte that starts no character is named as such, wherever it stands.
    const uint8_t* w = s_.where_;
    if (fault < Fault::kNoMemory && w != nullptr && w < end_ && *w >= 0x80 && utf8_length(w, end_) == 0) {
        fault = Fault::kInvalidUtf8;
    }
    return fault;
}

// ---- Values ---------------------------------------------------------------------

template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::value(const uint8_t* p, Slot slot) {
    if (p == end_) return fail_at_end(Fault::kExpectingValue);
    if constexpr (kPlan) return planned_value(p, slot);
    switch (*p) {
        case '"': return string(p, slot);
        case '{':
        case '[': return open(p, slot);
        default: return scalar(p, slot);
    }
}

// The verdict of a string or an array in `slot`: 1 hide, 0 keep, -1 failed.
template <class Find, bool kPlan>
inline int Grammar<Find, kPlan>::verdict(Slot slot) {
    if (quiet_) return 0;
    switch (slot.kind) {
        case Slot::kMember: return s_.member_verdict(slot.key, slot.key_end, slot.plain);
        case Slot::kItem: return level_ & Scanner::kDo;
        default: return s_.top_verdict();
    }
}

template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::string(const uint8_t* p, Slot slot) {
    const int hide = verdict(slot);
    if (hide < 0) return nullptr;
    if (!hide) return !detect_ || quiet_ ? plain_string(p) : detected_string(p);
    if (whole_ && slot.kind == Slot::kMember) {
        const uint8_t* after = plain_string(p);
        return after != nullptr && replace_whole(p, after, s_.spec_) ? after : nullptr;
    }
    return masked_string(p, s_.spec_);
}

// A number or a literal. Like Python's json, the longest well-formed token
// is taken and whatever follows it is the next step's business.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::scalar(const uint8_t* p, Slot slot) {
    const uint8_t* after = scalar_token(p, end_);
    if (after == nullptr) return fail(Fault::kExpectingValue, p);
    if (whole_ && slot.kind == Slot::kMember && !quiet_) {
        const int hide = s_.member_verdict(slot.key, slot.key_end, slot.plain);
        if (hide < 0 || (hide && !replace_whole(p, after, s_.spec_))) return nullptr;
    }
    return after;
}

// An opening bracket: a new level on the stack, fresh until its first
// member or item. Under `whole`, a hidden container is replaced and what is
// inside it is only checked (quiet). An object asks for no verdict
// otherwise: its members are decided by their own keys.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::open(const uint8_t* p, Slot slot) {
    const bool array = *p == '[';
    int hide = 0;
    if (array || (whole_ && slot.kind == Slot::kMember)) {
        hide = verdict(slot);
        if (hide < 0) return nullptr;
    }
    if (hide && whole_ && slot.kind == Slot::kMember) {
        if (!replace_whole(p, nullptr, s_.spec_)) return nullptr;
        quiet_ = true;
        quiet_depth_ = depth_;
        hide = 0;
    }
    return push_level(p, uint8_t(array ? Scanner::kArray | hide : 0));
}

template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::push_level(const uint8_t* p, uint8_t level) {
    if (!s_.stack_.push(level)) return no_memory();
    level_ = level;
    depth_++;
    fresh_ = true;
    return p + 1;
}

// ---- Values under a rule plan -------------------------------------------------------
//
// A value is hidden by its key's verdict (an item by its array's), or
// because a path selects it or a container around it; a trusting plan's
// paths trust instead, but never a key with a word never trusted. The
// policy is the selecting path's, else the key's rule's, else the
// omitter's own. With `whole`, a hidden member and a value a path selects
// are replaced whole.

// The decision for a value that starts with `c`. Its state comes from its
// container's by the automaton, but in a still container (selection.h:
// frame_of) by a key that names no live position, or as an item, it is the
// container's own. `key`: a member's key, if already looked up.
template <class Find, bool kPlan>
inline bool Grammar<Find, kPlan>::decide(uint8_t c, Slot slot, const KeyCache::Slot* key, Decision* d) {
    Frame* const parent = top_;
    // Only a container carries its state on; a string or a scalar needs
    // no more of it than its `selected` word.
    const bool container = c == '{' || c == '[';
    d->hide = false;
    d->replace = false;
    d->slot = 0;
    d->id = StateTable::kUnnumbered;
    d->same = false;
    if (slot.kind == Slot::kItem) parent->items++;
    if (quiet_) {
        d->state = PathState{};
        d->selected = 0;
        return true;
    }
    int v;
    switch (slot.kind) {
        case Slot::kMember: {
            // No verdict replaces an object but under `whole`, and where no
            // position is live, no key leads anywhere: nothing to ask.
            if (c == '{' && !whole_ && parent->still && parent->state.dead()) {
                d->state = parent->state;
                d->selected = parent->state.selected;
                d->id = parent->id;
                d->same = true;
                return true;
            }
            if (!member_state(container, slot, key, d, &v)) return false;
            break;
        }
        case Slot::kItem:
            v = level_ & Scanner::kDo ? kHidden | int(parent->slot << kSlotShift) : 0;
            if (parent->still) {
                if (container) d->state = parent->state;
                d->selected = parent->state.selected;
                d->id = parent->id;
                d->same = true;
            } else if (parent->id != StateTable::kUnnumbered &&
                       (d->id = s_.states_.item(plan_, parent->id, parent->items - 1)) != StateTable::kUnnumbered) {
                if (container) d->state = s_.states_[d->id];
                d->selected = s_.states_[d->id].selected;
            } else {
                d->state = plan_item(plan_, parent->state, Py_ssize_t(parent->items - 1));
                d->selected = d->state.selected;
            }
            break;
        default:
            v = s_.top_verdict();
            if (v < 0) return false;
            d->state = plan_->root;
            d->selected = d->state.selected;
            d->id = s_.root_state_;
            break;
    }
    const bool selected = (d->selected & PathState::kInSubtree) != 0;
    d->hide = hides(v, d->selected);
    if (plan_->trusting) {
        d->replace = whole_ && d->hide && slot.kind == Slot::kMember;
        return true;
    }
    const uint32_t policy = d->selected & ~PathState::kInSubtree;
    d->slot = policy != 0 ? policy : uint32_t(v >> kSlotShift);
    const bool direct = selected && (parent == nullptr || !parent->state.in_subtree());
    d->replace = whole_ && d->hide && (slot.kind == Slot::kMember || direct);
    return true;
}

// The state of a member (its `selected` word, and for a container the whole
// state), and its key's verdict bits into *v; `key`: the member's key, if
// already looked up. False when the key could not be learnt.
template <class Find, bool kPlan>
inline bool Grammar<Find, kPlan>::member_state(bool container, Slot slot, const KeyCache::Slot* key, Decision* d,
                                               int* v) {
    Frame* const parent = top_;
    if (key == nullptr) key = s_.member_key(slot.key, slot.key_end, !slot.plain);
    if (key == nullptr) return false;
    *v = key->verdict;
    if (key->from == parent->id) {  // the step this key took last
        d->id = key->to;
        d->selected = key->selected;
        d->same = key->to == parent->id;
        if (container) d->state = s_.states_[d->id];
    } else if (parent->still && !names_live(parent->state, key->names)) {
        if (container) d->state = parent->state;
        d->selected = parent->state.selected;
        d->id = parent->id;
        d->same = true;
        if (key->from == KeyCache::kNoStep && parent->id != StateTable::kUnnumbered) {
            // Its first step: the state stays. Remembered, so that
            // the key's next meeting here asks nothing of the state.
            key->from = key->to = parent->id;
            key->selected = d->selected;
            key->keeps = !hides(*v, d->selected);
            key->still = true;
        }
    } else {
        d->state = plan_member_by(plan_, parent->state, key->names);
        d->selected = d->state.selected;
        d->id = s_.states_.number(d->state);
        if (parent->id != StateTable::kUnnumbered && d->id != StateTable::kUnnumbered) {
            key->from = parent->id;
            key->to = d->id;
            key->selected = d->selected;
            key->keeps = !hides(*v, d->selected);
            key->still = still_state(plan_, d->state);
        }
    }
    return true;
}

template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::planned_value(const uint8_t* p, Slot slot) {
    const uint8_t c = *p;
    if (c != '"' && c != '{' && c != '[' && plain_scalars_) {
        // A number or a literal nothing can change: only counted.
        if (slot.kind == Slot::kItem) top_->items++;
        const uint8_t* after = scalar_token(p, end_);
        return after != nullptr ? after : fail(Fault::kExpectingValue, p);
    }
    if (slot.kind == Slot::kItem && !quiet_ && top_->still) return still_item(p, c);
    if (c == '{' && slot.kind == Slot::kMember && !whole_ && top_->still && top_->state.dead()) {
        // Where no position is live, no key leads anywhere, and without
        // `whole` no verdict replaces an object: it stands in this frame.
        return push_level(p, 0);
    }
    const KeyCache::Slot* key = nullptr;
    Decision d;
    bool decided = false;
    if (slot.kind == Slot::kMember && !quiet_) {
        // The usual member: under a key that took a step from this
        // container's state before (its step is remembered), or in a still
        // container under a key that names no live position (the value
        // stands in the container's own state). A string, or a container
        // that nothing replaces, is decided here without decide().
        key = s_.member_key(slot.key, slot.key_end, !slot.plain);
        if (key == nullptr) return nullptr;
        const Frame* const parent = top_;
        const bool remembered = key->from == parent->id;
        if (remembered || (parent->still && !names_live(parent->state, key->names))) {
            const uint32_t selected = remembered ? key->selected : parent->state.selected;
            const bool hide = remembered ? !key->keeps : hides(key->verdict, selected);
            if (c == '"' && !hide) return !detect_ ? plain_string(p) : detected_string(p);
            // The policy: the selecting path's, else the key's rule's, else
            // the omitter's own; a trusting plan's is the omitter's own.
            const uint32_t policy = selected & ~PathState::kInSubtree;
            const uint32_t to_slot =
                plan_->trusting ? 0 : policy != 0 ? policy : uint32_t(key->verdict >> kSlotShift);
            if (c == '"') {  // hidden; a member's string is replaced whole under `whole`
                d.hide = true;
                d.replace = whole_;
                d.slot = to_slot;
                decided = true;
            } else if ((c == '{' || c == '[') && !whole_) {
                const bool array = c == '[';
                if (shares(!remembered || key->to == parent->id, array, hide, to_slot)) {
                    return push_level(p, level_of(array, hide));
                }
                const Frame frame = remembered ? Frame{s_.states_[key->to], key->to, to_slot, key->still, 0}
                                               : Frame{parent->state, parent->id, to_slot, parent->still, 0};
                top_ = s_.frames_.push(frame);
                if (top_ == nullptr) return no_memory();
                return push_level(p, level_of(array, hide) | Scanner::kFramed);
            }
        }
    }
    if (!decided && !decide(c, slot, key, &d)) return nullptr;
    switch (c) {
        case '"': {
            if (!d.hide) return !detect_ || quiet_ ? plain_string(p) : detected_string(p);
            const MaskSpec& spec = s_.specs_[d.slot];
            if (!d.replace) return masked_string(p, spec);
            const uint8_t* after = plain_string(p);
            return after != nullptr && replace_whole(p, after, spec) ? after : nullptr;
        }
        case '{':
        case '[': return planned_open(p, d);
        default: return planned_scalar(p, d);
    }
}

// An opening bracket under a plan, decided: replaced whole, or a level of
// its own, with a frame unless it can stand in its parent's.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::planned_open(const uint8_t* p, Decision& d) {
    // Inside a replaced value, nothing reads a frame.
    const bool array = *p == '[';
    const bool shared = quiet_ || shares(d.same, array, d.hide, d.slot);
    if (d.replace) {
        if (!replace_whole(p, nullptr, s_.specs_[d.slot])) return nullptr;
        quiet_ = true;
        quiet_depth_ = depth_;
        d.hide = false;
    }
    if (shared) return push_level(p, level_of(array, d.hide));
    if (d.id == StateTable::kUnnumbered) d.id = s_.states_.number(d.state);
    top_ = s_.frames_.push(frame_of(plan_, d.state, d.id, d.slot));
    if (top_ == nullptr) return no_memory();
    return push_level(p, level_of(array, d.hide) | Scanner::kFramed);
}

// An item of an array in a still frame (its own or one it stands in): it
// stands in that state, so it is hidden when the array hides its items, by
// the policy the frame hands them, and never replaced whole; nor does a
// still frame count its items. In a selected subtree every array hides its
// items and hands them the subtree's policy, but a trusting plan keeps them.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::still_item(const uint8_t* p, uint8_t c) {
    const bool hide = (level_ & Scanner::kDo) != 0 && !(plan_->trusting && top_->state.in_subtree());
    switch (c) {
        case '"':
            if (!hide) return !detect_ ? plain_string(p) : detected_string(p);
            return masked_string(p, s_.specs_[top_->slot]);
        case '{':
        case '[': return push_level(p, level_of(c == '[', hide));
        default: {
            const Decision d{hide, false, top_->slot, 0, PathState{}, StateTable::kUnnumbered, true};
            return planned_scalar(p, d);
        }
    }
}

// A number or a literal under a plan: masked by the number or boolean
// policy when hidden; null stays.
template <class Find, bool kPlan>
const uint8_t* Grammar<Find, kPlan>::planned_scalar(const uint8_t* p, const Decision& d) {
    const uint8_t* after = scalar_token(p, end_);
    if (after == nullptr) return fail(Fault::kExpectingValue, p);
    if (!d.hide) return after;
    const MaskSpec& spec = s_.specs_[d.slot];
    if (d.replace) return replace_whole(p, after, spec) ? after : nullptr;
    if (*p == 'n') return after;
    const bool boolean = *p == 't' || *p == 'f';
    if (boolean ? spec.booleans == kBooleansKeep : spec.numbers == kNumbersKeep) return after;
    bool kept = false;
    if (!s_.flush(p)) return no_memory();
    const bool written = boolean ? write_boolean_mask(s_.out_, spec, &kept)
                                 : write_number_mask(s_.out_, spec, p, after, &kept);
    if (!written) return no_memory();
    s_.copy_from_ = after;
    return after;
}

// The end of the number or literal token at p, or null when none starts there.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::scalar_token(const uint8_t* p, const uint8_t* end) {
    switch (*p) {
        case 't': return literal(p, end, "true", 4) ? p + 4 : nullptr;
        case 'f': return literal(p, end, "false", 5) ? p + 5 : nullptr;
        case 'n': return literal(p, end, "null", 4) ? p + 4 : nullptr;
        case 'N': return literal(p, end, "NaN", 3) ? p + 3 : nullptr;
        case 'I': return literal(p, end, "Infinity", 8) ? p + 8 : nullptr;
        case '-':
            if (end - p >= 2 && p[1] == 'I') return literal(p + 1, end, "Infinity", 8) ? p + 9 : nullptr;
            p++;
            break;
        default: break;
    }
    if (p == end || *p < '0' || *p > '9') return nullptr;
    p = *p == '0' ? p + 1 : digits(p + 1, end);
    if (end - p >= 2 && *p == '.' && p[1] >= '0' && p[1] <= '9') p = digits(p + 2, end);
    if (p < end && (*p == 'e' || *p == 'E')) {
        const uint8_t* q = p + 1;
        if (q < end && (*q == '+' || *q == '-')) q++;
        if (q < end && *q >= '0' && *q <= '9') p = digits(q + 1, end);
    }
    return p;
}

// ---- Between values ---------------------------------------------------------------

// From just past a value to the start of the next one (setting its slot),
// closing the containers that end on the way. Once the stack is empty, the
// text must end there.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::next(const uint8_t* p, Slot* slot) {
    for (;;) {
        p = skip_space(p);
        if (depth_ == 0) return p == end_ ? p : fail(Fault::kExtraData, p);
        const bool array = level_ & Scanner::kArray;
        if (p != end_ && *p == ',' && !fresh_) {  // the usual way on
            p = skip_space(p + 1);
        } else if (p != end_ && *p == (array ? ']' : '}')) {
            p = close(p);
            continue;
        } else if (fresh_) {
            fresh_ = false;
        } else if (p == end_) {
            return fail_at_end(Fault::kExpectingComma);
        } else {
            return fail(Fault::kExpectingComma, p);
        }
        if (!array) return member(p, slot);
        *slot = Slot{Slot::kItem, false, nullptr, nullptr};
        return p;
    }
}

// A member's name and colon; p is at the value after them.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::member(const uint8_t* p, Slot* slot) {
    if (p == end_) return fail_at_end(Fault::kExpectingName);
    if (*p != '"') return fail(Fault::kExpectingName, p);
    const uint8_t* key = p + 1;
    escaped_ = false;
    p = plain_string(p);
    if (p == nullptr) return nullptr;
    *slot = Slot{Slot::kMember, !escaped_, key, p - 1};
    if (p != end_ && *p == ':') return skip_space(p + 1);
    p = skip_space(p);
    if (p == end_) return fail_at_end(Fault::kExpectingColon);
    if (*p != ':') return fail(Fault::kExpectingColon, p);
    return skip_space(p + 1);
}

// A closing bracket at p: the level goes, and a replaced value ends here.
template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::close(const uint8_t* p) {
    s_.stack_.pop();
    if constexpr (kPlan) {
        if (level_ & Scanner::kFramed) top_ = s_.frames_.pop();
    }
    depth_--;
    level_ = depth_ != 0 ? s_.stack_.back() : 0;
    fresh_ = false;  // the container was a value of its parent
    p++;
    if (quiet_ && depth_ == quiet_depth_) {
        quiet_ = false;
        s_.copy_from_ = p;
    }
    return p;
}

// ---- Strings ---------------------------------------------------------------------

// The body of a string from just after its opening quote: the closing
// quote, or null with the fault set. With kCount, *count is its length in
// code points as Python counts them.
template <class Find, bool kPlan>
template <bool kCount>
inline const uint8_t* Grammar<Find, kPlan>::string_body(const uint8_t* p, size_t* count) {
    size_t n = 0;
    for (;;) {
        const uint8_t* stop = Find::string_stop(p, end_);
        if (kCount) n += size_t(stop - p);
        p = stop;
        if (p == end_) return fail(Fault::kUnterminatedString, nullptr);
        const uint8_t c = *p;
        if (c == '"') {
            if (kCount) *count = n;
            return p;
        }
        if (c == '\\') {
            escaped_ = true;
            p = escape(p, kCount);
        } else if (c < 0x80) {
            return fail(Fault::kControlCharacter, p);
        } else {
            const int length = utf8_length(p, end_);
            p = length == 0 ? fail(Fault::kInvalidUtf8, p) : p + length;
        }
        if (p == nullptr) return nullptr;
        n++;
    }
}

// An escape at p (the backslash): the position after it. With `pair`, an
// escaped surrogate pair is taken whole, as it is one code point (checking
// the low half as an escape of its own comes to the same otherwise).
template <class Find, bool kPlan>
const uint8_t* Grammar<Find, kPlan>::escape(const uint8_t* p, bool pair) {
    if (end_ - p < 2) return fail(Fault::kUnterminatedString, nullptr);
    switch (p[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
            return p + 2;
        case 'u':
            break;
        default:
            return fail(Fault::kInvalidEscape, p);
    }
    const int32_t u = unicode_escape(p, end_);
    // At the 'u', as Python's json says; it says so too of an escape that
    // the text ends right after (its string is unterminated as well).
    if (u < 0 || end_ - p == 6) return fail(Fault::kInvalidUnicodeEscape, p + 1);
    p += 6;
    if (pair && is_high_surrogate(u) && end_ - p >= 6 && p[0] == '\\' && p[1] == 'u' &&
        is_low_surrogate(unicode_escape(p, end_))) {
        if (end_ - p == 6) return fail(Fault::kInvalidUnicodeEscape, p + 1);  // the low half, as above
        p += 6;
    }
    return p;
}

template <class Find, bool kPlan>
inline const uint8_t* Grammar<Find, kPlan>::plain_string(const uint8_t* p) {
    const uint8_t* close = string_body<false>(p + 1, nullptr);
    if (close == nullptr) {
        if (s_.fault_ == Fault::kUnterminatedString) s_.where_ = p;
        return nullptr;
    }
    return close + 1;
}

template <class Find, bool kPlan>
const uint8_t* Grammar<Find, kPlan>::masked_string(const uint8_t* p, const MaskSpec& spec) {
    size_t count = 0;
    const uint8_t* close = string_body<true>(p + 1, &count);
    if (close == nullptr) {
        if (s_.fault_ == Fault::kUnterminatedString) s_.where_ = p;
        return nullptr;
    }
    if (spec.kind == MaskSpec::kStars) {  // the usual mask: written with the run before it
        if (!s_.out_.run_and_stars(s_.copy_from_, size_t(p - s_.copy_from_), count)) return no_memory();
    } else if (!s_.flush(p) || !write_policy_mask(s_.out_, spec, p + 1, close, count)) {
        return no_memory();
    }
    s_.copy_from_ = close + 1;
    return close + 1;
}

// A string value that is kept: what the detector finds in it is masked,
// and the rest of it stays in the pending run. A body with no escape is
// searched where it stands.
template <class Find, bool kPlan>
const uint8_t* Grammar<Find, kPlan>::detected_string(const uint8_t* p) {
    escaped_ = false;
    const uint8_t* after = plain_string(p);
    if (after == nullptr) return nullptr;
    Detection& detection = *s_.detect_;
    const uint8_t* body = p + 1;
    const uint8_t* close = after - 1;
    const int found = detection.find(body, close, escaped_);
    if (found == 0) return after;
    if (found < 0 || !s_.flush(body) || !detection.write(s_.out_, body, close)) return no_memory();
    s_.copy_from_ = close;
    return after;
}

// The value from `from` replaced by the `whole` mask; the run resumes at
// `resume` (a scalar's end), or when the container closes (null).
template <class Find, bool kPlan>
bool Grammar<Find, kPlan>::replace_whole(const uint8_t* from, const uint8_t* resume, const MaskSpec& spec) {
    if (!s_.flush(from) || !write_whole_mask(s_.out_, spec)) {
        no_memory();
        return false;
    }
    if (resume != nullptr) s_.copy_from_ = resume;
    return true;
}

// ---- Lines ----------------------------------------------------------------------

template <class Find, bool kPlan>
Fault Grammar<Find, kPlan>::lines(const uint8_t* begin, const uint8_t* end, bool skip_bad, ByteBuffer& faults,
                           size_t* lines) {
    ByteBuffer& out = s_.out_;
    s_.copy_from_ = begin;
    *lines = 0;
    for (const uint8_t* line = begin; line < end; ++*lines) {
        const uint8_t* newline = static_cast<const uint8_t*>(std::memchr(line, '\n', size_t(end - line)));
        const uint8_t* content_end = newline != nullptr ? newline : end;
        const uint8_t* next_line = newline != nullptr ? newline + 1 : end;
        // What the line has written so far is taken back if it is bad.
        const size_t mark = out.size();
        const uint8_t* pending = s_.copy_from_;
        bool blank = false;
        const uint8_t* where = nullptr;
        const Fault fault = text(line, content_end, &blank, &where);
        if (fault != Fault::kNone) {
            if (fault == Fault::kNoMemory || fault == Fault::kVerdictFailed) return fault;
            out.truncate(mark);
            s_.copy_from_ = pending;
            const LineFault record{fault, size_t(where - begin), size_t(line - begin), size_t(next_line - begin)};
            if (!s_.flush(line) || !faults.append(&record, sizeof record)) return Fault::kNoMemory;
            if (!skip_bad) {
                s_.copy_from_ = end;
                ++*lines;
                return Fault::kNone;
            }
            s_.copy_from_ = next_line;
        }
        line = next_line;
    }
    return s_.flush(end) ? Fault::kNone : Fault::kNoMemory;
}

}  // namespace velmora::scan

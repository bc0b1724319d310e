// Reading a rule plan for a scan, and key names for the path automaton.
#include "selection.h"

#include "text.h"

#include <cstring>
#include <new>

namespace velmora::scan {

int read_scan_plan(OmitterObject* omitter, ScanPlan* out) {
    const RulePlan* plan = rule_plan_of(omitter);
    if (plan == nullptr) return 0;
    if (plan->policy_count == 0 || plan->policies == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the omitter's rule plan has no policy");
        return -1;
    }
    out->specs = new (std::nothrow) MaskSpec[plan->policy_count];
    if (out->specs == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    for (uint32_t i = 0; i < plan->policy_count; i++) {
        const PlanPolicy& policy = plan->policies[i];
        MaskSpec& spec = out->specs[i];
        if (read_policy(&policy.str, &spec) < 0) return -1;
        spec.numbers = policy.numbers;
        spec.booleans = policy.booleans;
        if (policy.numbers == kNumbersString || policy.booleans == kBooleansString) {
            if (policy.text == nullptr || !PyUnicode_CheckExact(policy.text)) {
                PyErr_SetString(PyExc_SystemError, "the omitter's rule plan has no mask text");
                return -1;
            }
            Py_UCS4* text = PyUnicode_AsUCS4Copy(policy.text);
            if (text == nullptr) return -1;
            const bool written = write_json_string(spec.type_text, reinterpret_cast<const uint32_t*>(text),
                                                   size_t(PyUnicode_GET_LENGTH(policy.text)));
            PyMem_Free(text);
            if (!written) {
                PyErr_NoMemory();
                return -1;
            }
        }
    }
    out->plan = plan;
    return 0;
}

StateTable::~StateTable() {
    std::free(states_);
    std::free(items_);
    std::free(index_);
}

uint64_t StateTable::hash(const PathState& state) {
    uint64_t h = state.selected * 0x9E3779B97F4A7C15ull;
    for (int w = 0; w < kPathWords; w++) h = (h ^ state.live[w]) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
}

bool StateTable::grow() {
    // The index keeps at most half its entries used; the states grow with it.
    const uint32_t size = mask_ == 0 ? 64 : (mask_ + 1) * 2;
    void* states = std::realloc(states_, size / 2 * sizeof(PathState));
    if (states == nullptr) return false;
    states_ = static_cast<PathState*>(states);
    void* items = std::realloc(items_, size / 2 * sizeof(ItemSteps));
    if (items == nullptr) return false;
    items_ = static_cast<ItemSteps*>(items);
    uint32_t* index = static_cast<uint32_t*>(std::calloc(size, sizeof(uint32_t)));
    if (index == nullptr) return false;
    for (uint32_t id = 0; id < count_; id++) {
        uint32_t i = uint32_t(hash(states_[id])) & (size - 1);
        while (index[i] != 0) i = (i + 1) & (size - 1);
        index[i] = id + 1;
    }
    std::free(index_);
    index_ = index;
    mask_ = size - 1;
    return true;
}

uint32_t StateTable::number(const PathState& state) {
    const uint64_t h = hash(state);
    if (mask_ != 0) {
        for (uint32_t i = uint32_t(h) & mask_; index_[i] != 0; i = (i + 1) & mask_) {
            const PathState& known = states_[index_[i] - 1];
            if (known.selected == state.selected && std::memcmp(known.live, state.live, sizeof state.live) == 0) {
                return index_[i] - 1;
            }
        }
    }
    if (count_ == kMaxStates) return kUnnumbered;
    if ((count_ + 1) * 2 > mask_ + 1 && !grow()) return kUnnumbered;
    uint32_t i = uint32_t(h) & mask_;
    while (index_[i] != 0) i = (i + 1) & mask_;
    states_[count_] = state;
    items_[count_] = ItemSteps{};
    index_[i] = ++count_;
    return count_ - 1;
}

uint32_t StateTable::learn_item(const RulePlan* plan, uint32_t id, size_t index) {
    if (!items_[id].known) {
        // One past the largest index a live position asks for (an index
        // below 0 never matches an item).
        Py_ssize_t rest = 0;
        const PathState& state = states_[id];
        for (int w = 0; w < kPathWords; w++) {
            for (uint64_t bits = state.live[w] & plan->indexed[w]; bits != 0; bits &= bits - 1) {
                const Py_ssize_t at = plan->steps[w * 64 + __builtin_ctzll(bits)].index;
                if (at >= rest) rest = at + 1;
            }
        }
        items_[id].rest = rest > Py_ssize_t(kItemSteps) ? kItemSteps + 1 : uint32_t(rest);
        items_[id].known = true;
    }
    if (items_[id].rest > kItemSteps) return kUnnumbered;
    const size_t at = index < items_[id].rest ? index : items_[id].rest;
    // Numbering may move both tables: the parent's state is copied first.
    const PathState parent = states_[id];
    const uint32_t to = number(plan_item(plan, parent, Py_ssize_t(at)));
    if (to != kUnnumbered) items_[id].to[at] = to + 1;
    return to;
}

bool decode_key_utf8(const uint8_t* p, const uint8_t* end, ByteBuffer& out) {
    out.clear();
    if (!out.reserve(size_t(end - p))) return false;  // never longer than the escaped form
    while (p < end) {
        uint32_t c;
        p = next_code_point(p, end, &c);
        uint8_t bytes[4];
        const size_t n = utf8_encode(c, bytes);
        if (!out.append(bytes, n)) return false;
    }
    return true;
}

}  // namespace velmora::scan

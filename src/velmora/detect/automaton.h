// Registered values as an Aho-Corasick automaton over their UTF-8 bytes.
//
// Each state knows the longest value that ends where it stands (`longest`),
// which is all a union of spans needs: every shorter value ending at the
// same place lies inside it. Transitions are sparse (sorted labels per
// state, a full table at the root) and missing ones follow failure links,
// so a step is amortised constant and memory is linear in the values.
#pragma once

#include "memory.h"

namespace velmora::detect {

struct Pattern {
    const uint8_t* data;
    uint32_t size;  // > 0
};

class Automaton {
public:
    static constexpr uint32_t kRoot = 0;

    // Build from `patterns` (duplicates allowed; the array is sorted in
    // place). False when memory ran out.
    bool build(Pattern* patterns, size_t count);
    bool empty() const { return states_.size() <= 1; }

    uint32_t step(uint32_t s, uint8_t c) const {
        for (;;) {
            if (s == kRoot) return root_[c];
            const State& st = states_[s];
            const uint8_t* labels = labels_.data() + st.first_edge;
            for (uint32_t i = 0; i < st.edge_count; i++) {
                if (labels[i] == c) return targets_[st.first_edge + i];
                if (labels[i] > c) break;  // sorted
            }
            s = st.fail;
        }
    }
    uint32_t depth(uint32_t s) const { return states_[s].depth; }
    // Length of the longest value that is a suffix of the state's text (0: none).
    uint32_t longest(uint32_t s) const { return states_[s].longest; }

private:
    struct State {
        uint32_t first_edge;
        uint32_t edge_count;
        uint32_t fail;
        uint32_t longest;
        uint32_t depth;
    };
    Array<State> states_;
    Array<uint8_t> labels_;
    Array<uint32_t> targets_;
    uint32_t root_[256] = {};
};

}  // namespace velmora::detect

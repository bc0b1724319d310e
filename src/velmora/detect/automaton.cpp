// Building the automaton: a trie from the sorted values, renumbered
// breadth first (so a state's failure target always comes before it), then
// failure links and the longest value ending at each state.
#include "automaton.h"

namespace velmora::detect {

namespace {

int compare_patterns(const void* a, const void* b) {
    const Pattern& x = *static_cast<const Pattern*>(a);
    const Pattern& y = *static_cast<const Pattern*>(b);
    const uint32_t n = x.size < y.size ? x.size : y.size;
    const int c = std::memcmp(x.data, y.data, n);
    if (c != 0) return c;
    return x.size < y.size ? -1 : x.size > y.size ? 1 : 0;
}

constexpr uint32_t kNone = UINT32_MAX;

// The trie while it is built, by creation order.
struct Node {
    uint32_t first_child;
    uint32_t last_child;
    uint32_t next_sibling;
    uint32_t parent;
    uint32_t depth;
    uint8_t label;
    bool terminal;
};

uint32_t find_child(const Array<Node>& nodes, uint32_t parent, uint8_t c) {
    for (uint32_t k = nodes[parent].first_child; k != kNone; k = nodes[k].next_sibling) {
        if (nodes[k].label == c) return k;
        if (nodes[k].label > c) break;
    }
    return kNone;
}

}  // namespace

bool Automaton::build(Pattern* patterns, size_t count) {
    if (count > 1) std::qsort(patterns, count, sizeof(Pattern), compare_patterns);
    size_t total = 1;
    for (size_t i = 0; i < count; i++) total += patterns[i].size;
    if (total >= UINT32_MAX / 2) return false;

    Array<Node> nodes;
    if (!nodes.reserve(total)) return false;
    nodes.push(Node{kNone, kNone, kNone, kNone, 0, 0, false});
    // Children are appended in label order: the values are sorted, and a
    // value shares with its predecessor exactly their common prefix.
    Array<uint32_t> path;  // the previous value's states, by depth
    if (!path.zeroed(1)) return false;
    const Pattern* previous = nullptr;
    for (size_t i = 0; i < count; i++) {
        const Pattern& p = patterns[i];
        uint32_t common = 0;
        if (previous != nullptr) {
            const uint32_t n = previous->size < p.size ? previous->size : p.size;
            while (common < n && previous->data[common] == p.data[common]) common++;
            if (common == p.size && common == previous->size) continue;  // a duplicate
        }
        if (!path.reserve(size_t(p.size) + 1)) return false;
        uint32_t at = path[common];
        for (uint32_t d = common; d < p.size; d++) {
            const uint32_t id = uint32_t(nodes.size());
            nodes.push(Node{kNone, kNone, kNone, at, d + 1, p.data[d], false});  // reserved above
            Node& parent = nodes[at];
            if (parent.last_child == kNone) {
                parent.first_child = id;
            } else {
                nodes[parent.last_child].next_sibling = id;
            }
            parent.last_child = id;
            at = id;
            if (path.size() <= d + 1) {
                path.push(id);  // reserved above
            } else {
                path[d + 1] = id;
            }
        }
        nodes[at].terminal = true;
        previous = &p;
    }

    // Breadth-first order: `order` lists old ids; `renamed` maps old to new.
    const size_t n = nodes.size();
    Array<uint32_t> order, renamed, fail;
    if (!order.reserve(n) || !renamed.zeroed(n) || !fail.zeroed(n)) return false;
    order.push(0);
    for (size_t head = 0; head < order.size(); head++) {
        const uint32_t v = order[head];
        renamed[v] = uint32_t(head);
        for (uint32_t k = nodes[v].first_child; k != kNone; k = nodes[k].next_sibling) order.push(k);
    }

    // Failure links, in old ids, breadth first: a parent's link is ready
    // before its children need it.
    uint32_t root_child[256];
    for (int c = 0; c < 256; c++) root_child[c] = kNone;
    for (uint32_t k = nodes[0].first_child; k != kNone; k = nodes[k].next_sibling) root_child[nodes[k].label] = k;
    for (size_t head = 1; head < n; head++) {
        const uint32_t v = order[head];
        const uint32_t u = nodes[v].parent;
        const uint8_t c = nodes[v].label;
        uint32_t target = 0;
        if (u != 0) {
            for (uint32_t f = fail[u];; f = fail[f]) {
                if (f == 0) {
                    target = root_child[c] != kNone ? root_child[c] : 0;
                    break;
                }
                const uint32_t child = find_child(nodes, f, c);
                if (child != kNone) {
                    target = child;
                    break;
                }
            }
        }
        fail[v] = target;
    }

    // The final tables, in new ids.
    Array<State> states;
    Array<uint8_t> labels;
    Array<uint32_t> targets;
    if (!states.zeroed(n) || !labels.reserve(n) || !targets.reserve(n)) return false;
    for (size_t head = 0; head < n; head++) {
        const uint32_t v = order[head];
        State& st = states[head];
        st.first_edge = uint32_t(labels.size());
        st.edge_count = 0;
        for (uint32_t k = nodes[v].first_child; k != kNone; k = nodes[k].next_sibling) {
            labels.push(nodes[k].label);  // reserved: one edge per state but the root
            targets.push(renamed[k]);
            st.edge_count++;
        }
        st.fail = renamed[fail[v]];
        st.depth = nodes[v].depth;
        // The failure target comes earlier in this order, so its answer is known.
        st.longest = nodes[v].terminal ? nodes[v].depth : (head == 0 ? 0 : states[st.fail].longest);
    }
    for (int c = 0; c < 256; c++) root_[c] = root_child[c] != kNone ? renamed[root_child[c]] : kRoot;
    states_ = std::move(states);
    labels_ = std::move(labels);
    targets_ = std::move(targets);
    return true;
}

}  // namespace velmora::detect

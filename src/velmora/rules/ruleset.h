// Key rules beyond exact membership: exact ignoring case, contained words,
// regular expressions. Only exact str keys are ever tested against them.
//
// A RuleSet is immutable once an omitter has it and lives in a capsule, so
// a verdict holds it by one reference while it works: whatever runs during
// the verdict (nothing should, but see rules_match) cannot free it.
#pragma once

#include "state.h"

namespace velmora::rules {

// What the patterns said of keys already searched, by key text: short
// keys of one-byte characters only, in a fixed table with no references to
// any key object, so it pins nothing and its size is bounded. It lets the
// quiet verdict answer for a key the loud one searched before.
class SearchMemo {
public:
    static constexpr Py_ssize_t kMaxLength = 48;
    // 1 found, 0 not found, -1 unknown.
    int find(PyObject* key) const;
    void remember(PyObject* key, bool found);
    ~SearchMemo();

private:
    static constexpr size_t kSlots = 256;
    struct Slot {
        Py_hash_t hash;
        uint8_t length;  // 0: empty slot
        bool found;
        char text[kMaxLength];
    };
    Slot* slots_ = nullptr;  // made at the first search
};

struct RuleSet {
    bool ignore_case = false;
    bool defaults = false;
    Ref contains;  // tuple: the words as given (exact str), without the defaults
    Ref patterns;  // tuple: exact re.Pattern of str, as given or compiled here
    Ref words;     // tuple: casefolded words whose presence matches
    Ref deny;      // tuple: casefolded words never trusted (trusting omitters with defaults)
    Ref searches;  // tuple: the bound `search` of each pattern
    Ref folded;    // frozenset of the casefolded str exact keys (ignore_case), or null
    mutable SearchMemo searched;  // the patterns' answers so far (not part of the rules)
};

// The rule arguments of a constructor or of a pickled state (borrowed).
struct RuleOptions {
    PyObject* contains = nullptr;  // iterable of str, or null/None for none
    PyObject* patterns = nullptr;  // iterable of str or re.Pattern, or null/None
    bool ignore_case = false;
    bool defaults = false;
};

// A new capsule owning the RuleSet for `options`, or null with TypeError,
// ValueError or re.error set. `trusting`: the rules decide what is trusted
// (the defaults are then words never trusted instead of words hidden).
// The exact keys are folded separately (fold_exact_keys).
PyObject* build_rules(const RuleOptions& options, bool trusting);

// The key (an exact str) as matched by case-insensitive rules: the key
// itself when folding cannot change it (ASCII without capitals, by far the
// common key), else its casefold. New reference, or null on failure. Runs
// no Python code.
PyObject* fold_key(PyObject* key);

// The RuleSet a capsule of build_rules owns.
RuleSet* rules_in(PyObject* capsule);

// Fill `rules->folded` from the str items of `keys` (a list, or None for
// none) when the rules ignore case; 0, or -1 with an exception set. Only for
// a RuleSet that no omitter has yet.
int fold_exact_keys(RuleSet* rules, PyObject* keys);

// The verdict of the rules on an exact str key: bit kMatched when some rule
// matches, bit kDenied when a word of `deny` occurs; -1 with an exception
// set on failure (memory, or a signal handler run by a long regex search).
// Case folding and words run no Python code. A regex search may: the
// engine lets signal handlers run during a long search. With `may_search`
// false, a verdict that needs a search is kUndecided instead, unless the
// patterns' answer for this key text is remembered from an earlier search.
enum : int { kMatched = 1, kDenied = 2, kUndecided = 4 };
int rules_match(const RuleSet* rules, PyObject* key, bool may_search);

}  // namespace velmora::rules

// Key rules beyond exact membership: exact ignoring case, contained words,
// regular expressions. Only exact str keys are ever tested against them.
//
// A RuleSet is immutable once an omitter has it and lives in a capsule, so
// a verdict holds it by one reference while it works: whatever runs during
// the verdict (nothing should, but see rules_match) cannot free it.
#pragma once

#include "state.h"

namespace velmora::rules {

struct RuleSet {
    bool ignore_case = false;
    bool defaults = false;
    Ref contains;  // tuple: the words as given (exact str), without the defaults
    Ref patterns;  // tuple: exact re.Pattern of str, as given or compiled here
    Ref words;     // tuple: casefolded words whose presence matches
    Ref deny;      // tuple: casefolded words never trusted (trusting omitters with defaults)
    Ref searches;  // tuple: the bound `search` of each pattern
    Ref folded;    // frozenset of the casefolded str exact keys (ignore_case), or null
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
// false, a verdict that needs a search is kUndecided instead.
enum : int { kMatched = 1, kDenied = 2, kUndecided = 4 };
int rules_match(const RuleSet* rules, PyObject* key, bool may_search);

}  // namespace velmora::rules

// Building rule sets from their arguments, and the verdict of a rule set on
// a key.
#include "ruleset.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace velmora::rules {

namespace {

constexpr const char* kCapsuleName = "velmora.rules.RuleSet";

void free_rules(PyObject* capsule) {
    delete static_cast<RuleSet*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// str.casefold(s) by the str method itself, so a str subclass cannot put
// its own in: runs no Python code. New reference, or null on failure.
PyObject* casefold(PyObject* s) { return PyObject_CallOneArg(rs.casefold, s); }

// The items of a rule argument as a new list: null/None gives an empty one.
// A single str (or bytes) is refused: iterating it would make each of its
// characters a rule of its own. `what` reads "str" or "str or re.Pattern".
PyObject* items_of(PyObject* arg, const char* name, const char* what) {
    if (arg == nullptr || arg == Py_None) return PyList_New(0);
    if (PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of %s (not a single str)", name, what);
        return nullptr;
    }
    if (PyBytes_Check(arg) || PyByteArray_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of %s, not %.200s", name, what, Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(arg));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s must be an iterable of %s, not %.200s", name, what,
                         Py_TYPE(arg)->tp_name);
        }
        return nullptr;
    }
    return PySequence_List(iterator.get());
}

// The words of `contains`: the words as given (exact str) into `given`, and
// their casefolds into `folded`. 0, or -1 with an exception set.
int collect_words(PyObject* arg, PyObject* given, PyObject* folded) {
    Ref items = Ref::steal(items_of(arg, "contains", "str"));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "contains items must be str, not %.200s", Py_TYPE(item)->tp_name);
            return -1;
        }
        Ref word = Ref::steal(PyUnicode_FromObject(item));  // an exact str, copied from a subclass
        if (!word) return -1;
        Ref fold = Ref::steal(casefold(word.get()));
        if (!fold) return -1;
        if (PyUnicode_GET_LENGTH(fold.get()) == 0) {
            PyErr_SetString(PyExc_ValueError, "contains holds an empty word, which would match every key");
            return -1;
        }
        if (PyList_Append(given, word.get()) < 0 || PyList_Append(folded, fold.get()) < 0) return -1;
    }
    return 0;
}

// The casefolds of the default denylist, appended to `folded`.
int collect_defaults(PyObject* folded) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rs.default_denylist); i++) {
        Ref fold = Ref::steal(casefold(PyTuple_GET_ITEM(rs.default_denylist, i)));
        if (!fold || PyList_Append(folded, fold.get()) < 0) return -1;
    }
    return 0;
}

// The patterns, compiled where given as str, into `patterns`, and their
// bound `search` into `searches`. Only exact re.Pattern objects of str are
// kept: their `search` is the regex engine's own and runs no Python code.
int collect_patterns(PyObject* arg, PyObject* patterns, PyObject* searches) {
    Ref items = Ref::steal(items_of(arg, "patterns", "str or re.Pattern"));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        Ref pattern;
        if (PyUnicode_Check(item)) {
            pattern = Ref::steal(PyObject_CallOneArg(rs.re_compile, item));  // raises re.error
            if (!pattern) return -1;
        } else if (Py_IS_TYPE(item, rs.pattern_type)) {
            pattern = Ref::borrow(item);
        } else {
            PyErr_Format(PyExc_TypeError, "patterns items must be str or re.Pattern, not %.200s",
                         Py_TYPE(item)->tp_name);
            return -1;
        }
        if (!Py_IS_TYPE(pattern.get(), rs.pattern_type)) {  // re.compile replaced by something else
            PyErr_Format(PyExc_TypeError, "re.compile gave %.200s, not re.Pattern", Py_TYPE(pattern.get())->tp_name);
            return -1;
        }
        Ref source = Ref::steal(PyObject_GetAttr(pattern.get(), rs.s_pattern));
        if (!source) return -1;
        if (!PyUnicode_Check(source.get())) {
            PyErr_Format(PyExc_TypeError, "patterns items must match str keys, not %.200s: %R",
                         Py_TYPE(source.get())->tp_name, pattern.get());
            return -1;
        }
        Ref search = Ref::steal(PyObject_GetAttr(pattern.get(), rs.s_search));
        if (!search || PyList_Append(patterns, pattern.get()) < 0 || PyList_Append(searches, search.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// Whether `folded` contains any of `words` (casefolded): 1, 0, or -1.
int contains_any(PyObject* folded, PyObject* words) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(folded);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(words); i++) {
        const Py_ssize_t at = PyUnicode_Find(folded, PyTuple_GET_ITEM(words, i), 0, length, 1);
        if (at == -2) return -1;
        if (at >= 0) return 1;
    }
    return 0;
}

// Whether any pattern's search finds a match in `key`: 1, 0, or -1. The
// collector is paused: the match object is the one allocation that could
// start a collection, and with it finalisers. (A long search still lets
// signal handlers run: only the loud verdict searches.)
int search_any(PyObject* searches, PyObject* key) {
    const int collector_was_on = PyGC_Disable();
    int found = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(searches) && found == 0; i++) {
        PyObject* match = PyObject_CallOneArg(PyTuple_GET_ITEM(searches, i), key);
        if (match == nullptr) {
            found = -1;
        } else {
            found = match != Py_None;
            Py_DECREF(match);  // a match object: its release runs no Python code
        }
    }
    if (collector_was_on) PyGC_Enable();
    return found;
}

// The key's text as the memo keeps it: one-byte characters, short. False
// for a key it does not keep.
bool memo_text(PyObject* key, const char** text, Py_ssize_t* length) {
    if (!PyUnicode_IS_READY(key) || PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) return false;
    *length = PyUnicode_GET_LENGTH(key);
    *text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key));
    return *length > 0 && *length <= SearchMemo::kMaxLength;
}

}  // namespace

int SearchMemo::find(PyObject* key) const {
    const char* text;
    Py_ssize_t length;
    if (slots_ == nullptr || !memo_text(key, &text, &length)) return -1;
    const Py_hash_t hash = PyObject_Hash(key);  // an exact str: cached, runs nothing
    const Slot& slot = slots_[static_cast<size_t>(hash) & (kSlots - 1)];
    if (slot.length != length || slot.hash != hash || std::memcmp(slot.text, text, length) != 0) return -1;
    return slot.found;
}

void SearchMemo::remember(PyObject* key, bool found) {
    const char* text;
    Py_ssize_t length;
    if (!memo_text(key, &text, &length)) return;
    if (slots_ == nullptr) {
        slots_ = static_cast<Slot*>(std::calloc(kSlots, sizeof(Slot)));
        if (slots_ == nullptr) return;  // only a memo: go on without it
    }
    const Py_hash_t hash = PyObject_Hash(key);
    Slot& slot = slots_[static_cast<size_t>(hash) & (kSlots - 1)];
    slot.hash = hash;
    slot.length = static_cast<uint8_t>(length);
    slot.found = found;
    std::memcpy(slot.text, text, length);
}

SearchMemo::~SearchMemo() { std::free(slots_); }

PyObject* build_rules(const RuleOptions& options, bool trusting) {
    Ref given = Ref::steal(PyList_New(0));
    Ref words = Ref::steal(PyList_New(0));
    Ref deny = Ref::steal(PyList_New(0));
    Ref patterns = Ref::steal(PyList_New(0));
    Ref searches = Ref::steal(PyList_New(0));
    if (!given || !words || !deny || !patterns || !searches) return nullptr;
    if (collect_words(options.contains, given.get(), words.get()) < 0) return nullptr;
    if (options.defaults && collect_defaults(trusting ? deny.get() : words.get()) < 0) return nullptr;
    if (collect_patterns(options.patterns, patterns.get(), searches.get()) < 0) return nullptr;

    RuleSet* made = new (std::nothrow) RuleSet();
    if (made == nullptr) return PyErr_NoMemory();
    Ref capsule = Ref::steal(PyCapsule_New(made, kCapsuleName, free_rules));
    if (!capsule) {
        delete made;
        return nullptr;
    }
    made->ignore_case = options.ignore_case;
    made->defaults = options.defaults;
    made->contains = Ref::steal(PyList_AsTuple(given.get()));
    made->words = Ref::steal(PyList_AsTuple(words.get()));
    made->deny = Ref::steal(PyList_AsTuple(deny.get()));
    made->patterns = Ref::steal(PyList_AsTuple(patterns.get()));
    made->searches = Ref::steal(PyList_AsTuple(searches.get()));
    if (!made->contains || !made->words || !made->deny || !made->patterns || !made->searches) return nullptr;
    return capsule.release();
}

PyObject* fold_key(PyObject* key) {
    if (PyUnicode_READY(key) < 0) return nullptr;
    if (PyUnicode_IS_ASCII(key)) {
        const Py_UCS1* p = PyUnicode_1BYTE_DATA(key);
        const Py_UCS1* const end = p + PyUnicode_GET_LENGTH(key);
        while (p < end && !(*p >= 'A' && *p <= 'Z')) p++;
        if (p == end) return new_ref(key);
    }
    return casefold(key);
}

RuleSet* rules_in(PyObject* capsule) {
    return static_cast<RuleSet*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

int fold_exact_keys(RuleSet* rules, PyObject* keys) {
    if (!rules->ignore_case) return 0;
    Ref folded = Ref::steal(PyFrozenSet_New(nullptr));
    if (!folded) return -1;
    if (keys != Py_None) {
        // Folding runs no Python code: the list stays as it is meanwhile.
        Ref held = Ref::borrow(keys);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); i++) {
            PyObject* item = PyList_GET_ITEM(keys, i);
            if (!PyUnicode_Check(item)) continue;
            Ref fold = Ref::steal(casefold(item));
            if (!fold || PySet_Add(folded.get(), fold.get()) < 0) return -1;
        }
    }
    rules->folded = std::move(folded);
    return 0;
}

int rules_match(const RuleSet* rules, PyObject* key, bool may_search) {
    PyObject* const words = rules->words.get();
    PyObject* const deny = rules->deny.get();
    if (rules->folded || PyTuple_GET_SIZE(words) > 0 || PyTuple_GET_SIZE(deny) > 0) {
        Ref folded = Ref::steal(fold_key(key));
        if (!folded) return -1;
        int found = contains_any(folded.get(), deny);
        if (found != 0) return found < 0 ? -1 : kDenied;  // denied wins over any match
        if (rules->folded) {
            found = PySet_Contains(rules->folded.get(), folded.get());  // str hashing: no Python code
            if (found != 0) return found < 0 ? -1 : kMatched;
        }
        found = contains_any(folded.get(), words);
        if (found != 0) return found < 0 ? -1 : kMatched;
    }
    if (PyTuple_GET_SIZE(rules->searches.get()) == 0) return 0;
    int found = rules->searched.find(key);
    if (found < 0) {
        if (!may_search) return kUndecided;
        found = search_any(rules->searches.get(), key);
        if (found < 0) return -1;
        rules->searched.remember(key, found);
    }
    return found ? kMatched : 0;
}

}  // namespace velmora::rules

// The members of a container handed to an override, found by what they
// hold: an override that walks copies of them through super() may take
// them in any order (sorted keys, reversed), and a copy holds the same keys
// and values, or items, as its member, object for object and in the same
// order. Each member is filed under a hash of those objects' addresses,
// so that finding the members a copy may have been made of costs the
// copy's size, not the container's. Reads the containers only: runs no
// code (no lookup, no comparison, no hash of a key).
#pragma once

#include <Python.h>

#include "walk_plan.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace velmora {

class MemberIndex {
public:
    // One member: where it was (a dict's entry or a list's index) and, for
    // a dict, its key (compared with the entry found there, never read).
    struct Member {
        uint64_t hash;
        Py_ssize_t pos;
        PyObject* key;
    };
    using Filed = std::pair<const Member*, const Member*>;

    MemberIndex() = default;
    MemberIndex(const MemberIndex&) = delete;
    MemberIndex& operator=(const MemberIndex&) = delete;
    ~MemberIndex() {
        if (members_ != nullptr) drop();  // most hand-offs never file their members
    }

    bool made() const { return members_ != nullptr; }

    // The hash of what `container` (a dict or a list) holds; a dict and a
    // list holding the same objects differ.
    static uint64_t hash_of(PyObject* container) {
        const bool dict = PyDict_Check(container);
        uint64_t h = dict ? 0x6a09e667f3bcc908ull : 0xbb67ae8584caa73bull;
        auto mix = [&h](const void* p) {
            h ^= reinterpret_cast<uintptr_t>(p);
            h *= 0x9e3779b97f4a7c15ull;
            h ^= h >> 29;
        };
        if (dict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(container, &pos, &key, &value)) {
                mix(key);
                mix(value);
            }
        } else {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); i++) mix(PyList_GET_ITEM(container, i));
        }
        return h;
    }

    // Files the members of `held` (a dict or a list) that are dicts or lists
    // holding something; false when memory runs short (the caller reads
    // the members one by one instead). Sets no exception.
    bool make(PyObject* held) {
        const bool dict = PyDict_Check(held);
        const Py_ssize_t size = dict ? PyDict_GET_SIZE(held) : PyList_GET_SIZE(held);
        const size_t room = size_t(size) + 1;
        members_ = static_cast<Member*>(PyMem_Calloc(room, sizeof(Member)));
        places_ = static_cast<PlanAt*>(PyMem_Calloc(room, sizeof(PlanAt)));
        counts_ = static_cast<int32_t*>(PyMem_Calloc(room, sizeof(int32_t)));
        if (members_ == nullptr || places_ == nullptr || counts_ == nullptr) {
            drop();
            return false;
        }
        auto file = [&](PyObject* member, Py_ssize_t pos, PyObject* key) {
            if (PyDict_Check(member) ? PyDict_GET_SIZE(member) == 0
                                     : !PyList_Check(member) || PyList_GET_SIZE(member) == 0) {
                return;
            }
            if (count_ == size) return;  // only what was counted: nothing here runs code, but be sure
            members_[count_++] = Member{hash_of(member), pos, key};
        };
        if (dict) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(held, &pos, &key, &value)) file(value, pos - 1, key);
        } else {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held); i++) file(PyList_GET_ITEM(held, i), i, nullptr);
        }
        std::sort(members_, members_ + count_, [](const Member& a, const Member& b) {
            return a.hash != b.hash ? a.hash < b.hash : a.pos < b.pos;
        });
        std::fill(counts_, counts_ + count_, -1);
        return true;
    }

    // The members filed under `hash`, in the container's order.
    Filed under(uint64_t hash) const {
        const Member* first = std::lower_bound(members_, members_ + count_, hash,
                                               [](const Member& m, uint64_t h) { return m.hash < h; });
        const Member* last = std::upper_bound(first, const_cast<const Member*>(members_ + count_), hash,
                                              [](uint64_t h, const Member& m) { return h < m.hash; });
        return {first, last};
    }

    // The member `m` names, if `held` still holds it where it was filed
    // (for a dict: the same key in the same entry, put in `*key`); else null.
    static PyObject* still_held(PyObject* held, const Member& m, PyObject** key) {
        *key = nullptr;
        if (m.key == nullptr) {
            if (!PyList_Check(held) || m.pos >= PyList_GET_SIZE(held)) return nullptr;
            return PyList_GET_ITEM(held, m.pos);
        }
        if (!PyDict_Check(held)) return nullptr;
        Py_ssize_t pos = m.pos;
        PyObject *found_key, *value;
        if (!PyDict_Next(held, &pos, &found_key, &value) || pos - 1 != m.pos || found_key != m.key) return nullptr;
        *key = found_key;
        return value;
    }

    // The places of the members of `filed` that `held` still holds, each
    // distinct place once, as `place_of(key, pos)` gave them the first time
    // they were asked for: members filed under one hash hold the same
    // objects (a copy of one is a copy of all), and an override walking a
    // copy of each of n such members must not read all n for each.
    template <class PlaceOf>
    std::pair<const PlanAt*, const PlanAt*> places(PyObject* held, Filed filed, PlaceOf place_of) {
        const size_t at = size_t(filed.first - members_);
        PlanAt* kept = places_ + at;
        if (counts_[at] < 0) {
            int32_t count = 0;
            for (const Member* m = filed.first; m != filed.second; ++m) {
                PyObject* key;
                if (still_held(held, *m, &key) == nullptr) continue;
                const PlanAt place = place_of(key, m->pos);
                if (std::none_of(kept, kept + count, [&](const PlanAt& o) { return same(o, place); })) {
                    kept[count++] = place;
                }
            }
            counts_[at] = count;
        }
        return {kept, kept + counts_[at]};
    }

private:
    void drop() {
        PyMem_Free(std::exchange(members_, nullptr));
        PyMem_Free(std::exchange(places_, nullptr));
        PyMem_Free(std::exchange(counts_, nullptr));
        count_ = 0;
    }

    static bool same(const PlanAt& a, const PlanAt& b) {
        return a.slot == b.slot && a.root == b.root && a.state.selected == b.state.selected &&
               std::memcmp(a.state.live, b.state.live, sizeof a.state.live) == 0;
    }

    Member* members_ = nullptr;
    Py_ssize_t count_ = 0;
    // For the members filed under one hash, from the first of them on: the
    // distinct places (counts_: how many; -1, not yet found).
    PlanAt* places_ = nullptr;
    int32_t* counts_ = nullptr;
};

}  // namespace velmora

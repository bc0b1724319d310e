// Asking an omitter whether a key is hidden, from outside velmora.omit.
//
// An omitter may remember answers for as long as nothing but its own module
// has run (velmora.omit's key indexes do). This walk runs other code too: the
// number test may call a `__class__` property, stores into the copies may
// hash and compare keys, and releasing a reference may run a finaliser. Any
// of it may change a key list, so every such point marks the verdicts
// stale, and the omitter is told (slot foreign_code_ran) before the next
// question.
#pragma once

#include "../omit/abi.h"

namespace velmora::redact {

class Verdicts {
public:
    explicit Verdicts(OmitterObject* self) : self_(self), vtab_(self->vtab) {}

    // Code this module does not control may have run.
    void foreign() { stale_ = true; }

    // 1 to hide `key`, 0 not to, -1 on failure (exception set). May run
    // Python code (the omitter's own tells it what ran); the caller holds
    // the key and whatever it still needs.
    int ask(PyObject* key) {
        if (stale_) {
            if (vtab_->foreign_code_ran != nullptr) vtab_->foreign_code_ran(self_);
            stale_ = false;
        }
        if (vtab_->quiet_should_hide != nullptr && PyUnicode_CheckExact(key)) {
            const int quiet = vtab_->quiet_should_hide(self_, key);
            if (quiet >= 0) return quiet != 0;
        }
        const int hide = vtab_->should_hide(self_, key);
        if (hide == 0 && PyErr_Occurred()) return -1;
        return hide != 0;
    }

private:
    OmitterObject* self_;
    // Set when the object was made; a reassigned `__class__` leaves it as
    // it is.
    OmitterVTable* vtab_;
    // Nothing is known about what ran before the walk started.
    bool stale_ = true;
};

// An owned reference to something the walk reads from the caller's data,
// released at the end of the scope. The data may have dropped its own
// reference meanwhile (Python code run from the walk can change it): then
// this release is the last one, its finaliser may run anything, and the
// verdicts become stale.
class Held {
public:
    Held(PyObject* p, Verdicts& verdicts) : p_(p), verdicts_(verdicts) { Py_INCREF(p); }
    ~Held() {
        if (Py_REFCNT(p_) == 1) verdicts_.foreign();
        Py_DECREF(p_);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    PyObject* p_;
    Verdicts& verdicts_;
};

}  // namespace velmora::redact

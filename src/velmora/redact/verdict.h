// Asking an omitter whether a key is hidden, from outside velmora.omit.
//
// An omitter may remember answers for as long as nothing but its own module
// has run (velmora.omit's key indexes do). This walk runs other code too
// (foreign.h), and any of it may change a key list: the omitter is told
// (slot foreign_code_ran) before the next question.
#pragma once

#include "../omit/abi.h"
#include "foreign.h"

namespace velmora::redact {

class Verdicts {
public:
    Verdicts(OmitterObject* self, ForeignCode& foreign) : self_(self), vtab_(self->vtab), foreign_(foreign) {}

    // 1 to hide `key`, 0 not to, -1 on failure (exception set). May run
    // Python code; the caller holds the key and whatever it still needs.
    int ask(PyObject* key) {
        if (foreign_.omitter_stale) {
            if (vtab_->foreign_code_ran != nullptr) vtab_->foreign_code_ran(self_);
            foreign_.omitter_stale = false;
        }
        if (vtab_->quiet_should_hide != nullptr && PyUnicode_CheckExact(key)) {
            const int quiet = vtab_->quiet_should_hide(self_, key);
            if (quiet >= 0) return quiet != 0;
        }
        // It may compare the key with Python objects of the key list.
        foreign_.before();
        const int hide = vtab_->should_hide(self_, key);
        foreign_.after_question();
        if (hide == 0 && PyErr_Occurred()) return -1;
        return hide != 0;
    }

private:
    OmitterObject* self_;
    // Set when the object was made; a reassigned `__class__` leaves it as
    // it is.
    OmitterVTable* vtab_;
    ForeignCode& foreign_;
};

}  // namespace velmora::redact

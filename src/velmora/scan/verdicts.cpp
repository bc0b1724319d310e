// The omitter's verdicts and mask policy, read for a scan.
#include "verdicts.h"

#include "../omit/ref.h"
#include "selection.h"

#include <cstdlib>
#include <cstring>

namespace velmora::scan {

namespace {

int refuse_override(PyObject* omitter, const char* function, const char* method) {
    PyErr_Format(PyExc_TypeError,
                 "%s() cannot honour %.200s.%s(): a Python subclass that overrides omit or omit_recurse "
                 "is only walked over parsed data (use the omitter's own methods)",
                 function, Py_TYPE(omitter)->tp_name, method);
    return -1;
}

}  // namespace

int check_omitter(ScanState* state, PyObject* omitter, const char* function) {
    if (!PyObject_TypeCheck(omitter, state->api.omitter_type)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 1 must be a velmora.omit.Omitter, not %.200s", function,
                     Py_TYPE(omitter)->tp_name);
        return -1;
    }
    PyTypeObject* tp = Py_TYPE(omitter);
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) return 0;
    // Only classes defined in Python can override the walk: the class's
    // attribute must be the base function itself, and an instance
    // dictionary must not shadow it.
    Ref instance_dict = Ref::steal(PyObject_GetAttr(omitter, state->s___dict__));
    if (!instance_dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
    }
    PyObject* names[] = {state->s_omit, state->s_omit_recurse};
    PyObject* bases[] = {state->base_omit, state->base_omit_recurse};
    for (int i = 0; i < 2; i++) {
        Ref attr = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), names[i]));
        if (!attr) return -1;
        bool overridden = attr.get() != bases[i];
        if (!overridden && instance_dict && PyDict_Check(instance_dict.get())) {
            const int shadowed = PyDict_Contains(instance_dict.get(), names[i]);
            if (shadowed < 0) return -1;
            overridden = shadowed;
        }
        if (overridden) return refuse_override(omitter, function, PyUnicode_AsUTF8(names[i]));
    }
    return 0;
}

int read_mask_spec(OmitterObject* omitter, MaskSpec* spec) { return read_policy(mask_policy_of(omitter), spec); }

int read_policy(const MaskPolicy* policy, MaskSpec* spec) {
    if (policy == nullptr) return 0;
    // A malformed policy is the omitter's module's fault, not the caller's:
    // SystemError, with the words the package's other walks use.
    const bool needs_text = policy->kind == MaskPolicy::kFixed || policy->whole;
    if (needs_text && (policy->text == nullptr || !PyUnicode_CheckExact(policy->text))) {
        PyErr_SetString(PyExc_SystemError, "the omitter's mask policy has no mask text");
        return -1;
    }
    switch (policy->kind) {
        case MaskPolicy::kStars: spec->kind = MaskSpec::kStars; break;
        case MaskPolicy::kFixed: spec->kind = MaskSpec::kFixed; break;
        case MaskPolicy::kKeepLast:
            if (policy->keep <= 0) {
                PyErr_SetString(PyExc_SystemError, "the omitter's mask policy keeps no characters");
                return -1;
            }
            spec->kind = MaskSpec::kKeepLast;
            spec->keep = size_t(policy->keep);
            break;
        default:
            PyErr_SetString(PyExc_SystemError, "the omitter's mask policy is of an unknown kind");
            return -1;
    }
    spec->whole = policy->whole;
    if (needs_text) {
        Py_UCS4* text = PyUnicode_AsUCS4Copy(policy->text);
        if (text == nullptr) return -1;
        const bool written = write_json_string(spec->text, reinterpret_cast<const uint32_t*>(text),
                                               size_t(PyUnicode_GET_LENGTH(policy->text)));
        PyMem_Free(text);
        if (!written) {
            PyErr_NoMemory();
            return -1;
        }
    }
    return 0;
}

int tell_verdicts(ScanState* state, OmitterObject* omitter, Scanner& scanner) {
    // `key in list` for an exact str key and items that are exact str or
    // None is a comparison of text: nothing can run, nothing else can match.
    PyObject* list;
    bool in_list_hides;
    if (omitter->vtab->should_hide == state->api.omitter_vtable->should_hide) {
        list = omitter->omissions;
        in_list_hides = true;
    } else if (omitter->vtab->should_hide == state->api.no_trust_vtable->should_hide) {
        list = reinterpret_cast<NoTrustOmitterObject*>(omitter)->trusted;
        in_list_hides = false;
    } else {
        return 0;
    }
    if (list == nullptr || (list != Py_None && !PyList_CheckExact(list))) return 0;
    const Py_ssize_t n = list == Py_None ? 0 : PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item != Py_None && !PyUnicode_CheckExact(item)) return 0;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item == Py_None) continue;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (text == nullptr) {  // a lone surrogate: only an escaped key can be it, and those are asked
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            PyErr_Clear();
            continue;
        }
        // The table is looked up by a key's raw bytes, escapes and all. A
        // key with a backslash, told as it is, would be taken for the raw
        // text of another key written with escapes (the key `a\u0077` is
        // not the key "aw" that `"a\u0077"` writes). JSON writes such a key
        // escaped itself, and escaped keys are asked about, decoded. (Raw
        // text without a backslash is the key itself: every other key is
        // told safely.)
        if (std::memchr(text, '\\', size_t(size)) != nullptr) continue;
        if (!scanner.remember(reinterpret_cast<const uint8_t*>(text), size_t(size), in_list_hides)) {
            PyErr_NoMemory();
            return -1;
        }
    }
    scanner.know_the_rest(!in_list_hides);
    return 0;
}

int OmitterVerdicts::plan_bits(PyObject* key, bool hidden) const {
    const RulePlan* plan = plan_;
    if (plan->trusting) {
        if (plan->step_count == 0) return 0;
        const int denied = plan->key_denied(plan, key);
        return denied < 0 ? -1 : denied ? kDenied : 0;
    }
    if (!hidden || !plan->keyed) return 0;
    const int slot = plan->key_policy(plan, key);
    if (slot < 0) return -1;
    if (uint32_t(slot) >= plan->policy_count) {
        PyErr_SetString(PyExc_SystemError, "the omitter's rule plan gave a policy it does not have");
        return -1;
    }
    return slot << kSlotShift;
}

int OmitterVerdicts::ask(void* context, const uint8_t* key, const uint8_t* key_end) {
    auto* self = static_cast<OmitterVerdicts*>(context);
    const bool was_released = self->saved_ != nullptr;
    self->reacquire();
    int verdict = -1;
    {
        Ref key_obj;
        if (key == nullptr) {
            key_obj = Ref::borrow(Py_None);  // a top-level value stands under no key
        } else if (std::memchr(key, '\\', size_t(key_end - key)) == nullptr) {
            // No escape: the bytes are the key's checked UTF-8.
            key_obj = Ref::steal(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(key),
                                                              Py_ssize_t(key_end - key)));
        } else {
            uint32_t* text = nullptr;
            size_t length = 0;
            if (!decode_key(key, key_end, &text, &length)) {
                PyErr_NoMemory();
            } else {
                key_obj = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, Py_ssize_t(length)));
                std::free(text);
            }
        }
        if (key_obj) {
            // Hold the omitter: should_hide may run Python code.
            Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self->omitter_));
            OmitterVTable* vtab = self->omitter_->vtab;
            // Any code may have run since the last question (other threads
            // ran while the lock was released): the omitter must not trust
            // what it checked before.
            if (vtab->foreign_code_ran != nullptr) vtab->foreign_code_ran(self->omitter_);
            const int answer = vtab->should_hide(self->omitter_, key_obj.get());
            verdict = PyErr_Occurred() ? -1 : answer != 0;
            if (verdict >= 0 && key != nullptr && self->plan_ != nullptr) {
                const int bits = self->plan_bits(key_obj.get(), verdict);
                verdict = bits < 0 ? -1 : verdict | bits;
            }
        }
    }
    if (was_released) self->release();
    return verdict;
}

}  // namespace velmora::scan

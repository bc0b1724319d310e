// The Detector type: construction, registered values, the configuration
// read-only, and compilation of the engine.
#include "detector.h"

#include "mask.h"

namespace velmora::detect {

namespace {

// ---- Values ----------------------------------------------------------------
//
// Nothing here may show a value: messages say why a value was refused,
// never what it was.

enum class Refusal { kNone, kShort, kCommon, kNoLine };

// Whether `piece` (an exact str) may be matched: long enough, and not a
// common word. -1 with an exception set on failure.
int qualifies(DetectorObject* self, PyObject* piece, Refusal* why) {
    if (PyUnicode_GET_LENGTH(piece) < self->min_length) {
        *why = Refusal::kShort;
        return 0;
    }
    Ref folded = Ref::steal(PyObject_CallMethodNoArgs(piece, ds.s_casefold));  // str.casefold: no Python code
    if (!folded) return -1;
    const int common = PySet_Contains(self->never_mask, folded.get());
    if (common < 0) return -1;
    if (common) {
        *why = Refusal::kCommon;
        return 0;
    }
    return 1;
}

// What a value is matched as: the value itself, or the tuple of its lines
// that qualify. New reference; null with *why set when it is refused, or
// with an exception set on failure.
PyObject* matched_form(DetectorObject* self, PyObject* value, Refusal* why) {
    *why = Refusal::kNone;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    bool lines = false;
    for (Py_ssize_t i = 0; i < n && !lines; i++) lines = is_line_break(PyUnicode_READ(kind, data, i));
    if (!lines) {
        const int ok = qualifies(self, value, why);
        return ok > 0 ? new_ref(value) : nullptr;
    }
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i <= n; i++) {
        if (i < n && !is_line_break(PyUnicode_READ(kind, data, i))) continue;
        if (i > start) {
            Ref piece = Ref::steal(PyUnicode_Substring(value, start, i));
            if (!piece) return nullptr;
            Refusal ignored;
            const int ok = qualifies(self, piece.get(), &ignored);
            if (ok < 0 || (ok > 0 && PyList_Append(pieces.get(), piece.get()) < 0)) return nullptr;
        }
        start = i + 1;
    }
    if (PyList_GET_SIZE(pieces.get()) == 0) {
        *why = Refusal::kNoLine;
        return nullptr;
    }
    return PyList_AsTuple(pieces.get());
}

// The value as the registry keeps it: an exact str, ready. New reference,
// or null with TypeError set.
PyObject* exact_value(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "secret values must be str, not %.200s", Py_TYPE(value)->tp_name);
        return nullptr;
    }
    // A subclass is copied as a plain str; its methods are never called.
    PyObject* exact = PyUnicode_FromObject(value);
    if (exact != nullptr && PyUnicode_READY(exact) < 0) Py_CLEAR(exact);
    return exact;
}

// Check one value; on success *form is what it is matched as. `item` is
// the value's place in an iterable (-1: a single value), for the message.
int check_value(DetectorObject* self, PyObject* value, Py_ssize_t item, Ref* exact, Ref* form) {
    *exact = Ref::steal(exact_value(value));
    if (!*exact) return -1;
    Refusal why;
    *form = Ref::steal(matched_form(self, exact->get(), &why));
    if (*form) return 0;
    if (why == Refusal::kNone) return -1;  // an exception is set
    Ref where = Ref::steal(item < 0 ? PyUnicode_FromString("") : PyUnicode_FromFormat("values item %zd: ", item));
    if (!where) return -1;
    switch (why) {
        case Refusal::kShort:
            PyErr_Format(PyExc_ValueError, "%Ua secret value shorter than min_length=%zd was refused", where.get(),
                         self->min_length);
            break;
        case Refusal::kCommon:
            PyErr_Format(PyExc_ValueError, "%Ua secret value that is a common word (see never_mask) was refused",
                         where.get());
            break;
        default:
            PyErr_Format(PyExc_ValueError,
                         "%Ua secret value with no line of min_length=%zd or more that is not a common word "
                         "was refused",
                         where.get(), self->min_length);
            break;
    }
    return -1;
}

PyObject* add(PyObject* op, PyObject* value) {
    auto* self = reinterpret_cast<DetectorObject*>(op);
    Ref exact, form;
    if (check_value(self, value, -1, &exact, &form) < 0) return nullptr;
    if (PyDict_SetItem(self->values, exact.get(), form.get()) < 0) return nullptr;
    self->stale = true;
    Py_RETURN_NONE;
}

// Everything is checked before anything is added: a refused item leaves
// the detector as it was.
int update_values(DetectorObject* self, PyObject* values) {
    if (PyUnicode_Check(values)) {
        PyErr_SetString(PyExc_TypeError, "values must be an iterable of str, not a single str");
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(values));
    if (!iterator) return -1;
    Ref checked = Ref::steal(PyList_New(0));
    if (!checked) return -1;
    for (Py_ssize_t item = 0;; item++) {
        Ref value = Ref::steal(PyIter_Next(iterator.get()));
        if (!value) {
            if (PyErr_Occurred()) return -1;
            break;
        }
        Ref exact, form;
        if (check_value(self, value.get(), item, &exact, &form) < 0) return -1;
        Ref pair = Ref::steal(PyTuple_Pack(2, exact.get(), form.get()));
        if (!pair || PyList_Append(checked.get(), pair.get()) < 0) return -1;
    }
    // The dict takes str keys only: storing runs no Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(checked.get()); i++) {
        PyObject* pair = PyList_GET_ITEM(checked.get(), i);
        if (PyDict_SetItem(self->values, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return -1;
        self->stale = true;
    }
    return 0;
}

PyObject* update(PyObject* op, PyObject* values) {
    if (update_values(reinterpret_cast<DetectorObject*>(op), values) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* discard(PyObject* op, PyObject* value) {
    auto* self = reinterpret_cast<DetectorObject*>(op);
    if (!PyUnicode_Check(value)) Py_RETURN_NONE;  // never registered
    Ref exact = Ref::steal(exact_value(value));
    if (!exact) return nullptr;
    const int found = PyDict_Contains(self->values, exact.get());
    if (found < 0) return nullptr;
    if (found) {
        if (PyDict_DelItem(self->values, exact.get()) < 0) return nullptr;
        self->stale = true;
    }
    Py_RETURN_NONE;
}

PyObject* clear(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<DetectorObject*>(op);
    PyDict_Clear(self->values);
    self->stale = true;
    Py_RETURN_NONE;
}

Py_ssize_t length(PyObject* op) { return PyDict_GET_SIZE(reinterpret_cast<DetectorObject*>(op)->values); }

// ---- Construction ------------------------------------------------------------

int parse_formats(PyObject* given, uint32_t* formats) {
    if (given == nullptr || given == Py_None) {
        *formats = kDefaultFormats;
        return 0;
    }
    if (PyUnicode_Check(given)) {
        PyErr_SetString(PyExc_TypeError, "formats must be an iterable of format names, not a single str");
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(given));
    if (!iterator) return -1;
    *formats = 0;
    for (;;) {
        Ref name = Ref::steal(PyIter_Next(iterator.get()));
        if (!name) return PyErr_Occurred() ? -1 : 0;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "format names must be str, not %.200s", Py_TYPE(name.get())->tp_name);
            return -1;
        }
        if (PyUnicode_Compare(name.get(), ds.s_all) == 0) {
            *formats |= kDefaultFormats;
            continue;
        }
        bool known = false;
        for (int i = 0; i < kFormatCount && !known; i++) {
            if (PyUnicode_Compare(name.get(), ds.format_names[i]) == 0) {
                *formats |= kFormats[i].kind;
                known = true;
            }
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError, "unknown format %R: the formats are %R, or 'all' for %R", name.get(),
                         ds.formats, ds.default_formats);
            return -1;
        }
    }
}

int parse_min_length(PyObject* given, Py_ssize_t* min_length) {
    *min_length = 5;
    if (given == nullptr) return 0;
    if (!PyLong_Check(given) || PyBool_Check(given)) {
        PyErr_Format(PyExc_TypeError, "min_length must be an int, not %.200s", Py_TYPE(given)->tp_name);
        return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(given);
    if (n == -1 && PyErr_Occurred()) return -1;
    // Every format is four units or longer, and so the scan looks for
    // nothing shorter; a shorter secret would mask its letters all over
    // the text anyway.
    if (n < 4) {
        PyErr_Format(PyExc_ValueError, "min_length must be at least 4, not %zd", n);
        return -1;
    }
    *min_length = n;
    return 0;
}

// The never-mask words: the defaults and the words given, casefolded.
int parse_never_mask(PyObject* given, Ref* words, Ref* extra) {
    Ref all = Ref::steal(PySet_New(ds.default_never_mask));
    Ref listed = Ref::steal(PyList_New(0));
    if (!all || !listed) return -1;
    if (given != nullptr && given != Py_None) {
        if (PyUnicode_Check(given)) {
            PyErr_SetString(PyExc_TypeError, "never_mask must be an iterable of str, not a single str");
            return -1;
        }
        Ref iterator = Ref::steal(PyObject_GetIter(given));
        if (!iterator) return -1;
        for (;;) {
            Ref word = Ref::steal(PyIter_Next(iterator.get()));
            if (!word) {
                if (PyErr_Occurred()) return -1;
                break;
            }
            if (!PyUnicode_Check(word.get())) {
                PyErr_Format(PyExc_TypeError, "never_mask words must be str, not %.200s",
                             Py_TYPE(word.get())->tp_name);
                return -1;
            }
            Ref exact = Ref::steal(PyUnicode_FromObject(word.get()));
            if (!exact) return -1;
            Ref folded = Ref::steal(PyObject_CallMethodNoArgs(exact.get(), ds.s_casefold));
            if (!folded || PySet_Add(all.get(), folded.get()) < 0 || PyList_Append(listed.get(), exact.get()) < 0) {
                return -1;
            }
        }
    }
    *words = Ref::steal(PyFrozenSet_New(all.get()));
    *extra = Ref::steal(PyList_AsTuple(listed.get()));
    return *words && *extra ? 0 : -1;
}

// The mask arguments, checked as velmora.rules checks them (there is no
// `whole` here: a span is part of a str).
int parse_policy(PyObject* mask, PyObject* keep_last, MaskPolicy* policy) {
    *policy = MaskPolicy{MaskPolicy::kStars, nullptr, 0, false};
    const bool has_mask = mask != nullptr && mask != Py_None;
    const bool has_keep = keep_last != nullptr && keep_last != Py_None;
    if (has_mask && has_keep) {
        PyErr_SetString(PyExc_ValueError, "mask and keep_last cannot be combined");
        return -1;
    }
    if (has_mask) {
        if (!PyUnicode_Check(mask)) {
            PyErr_Format(PyExc_TypeError, "mask must be a str or None, not %.200s", Py_TYPE(mask)->tp_name);
            return -1;
        }
        Ref text = Ref::steal(PyUnicode_FromObject(mask));
        if (!text) return -1;
        policy->kind = MaskPolicy::kFixed;
        policy->text = text.release();
        SpanMask checked;  // its UTF-8 is needed by masks of bytes: fail now, not then
        if (span_mask_of(policy, &checked) < 0) {
            Py_CLEAR(policy->text);
            return -1;
        }
    } else if (has_keep) {
        if (!PyLong_Check(keep_last) || PyBool_Check(keep_last)) {
            PyErr_Format(PyExc_TypeError, "keep_last must be an int or None, not %.200s",
                         Py_TYPE(keep_last)->tp_name);
            return -1;
        }
        const Py_ssize_t n = PyLong_AsSsize_t(keep_last);
        if (n == -1 && PyErr_Occurred()) return -1;
        if (n <= 0) {
            PyErr_Format(PyExc_ValueError, "keep_last must be a positive int, not %zd", n);
            return -1;
        }
        policy->kind = MaskPolicy::kKeepLast;
        policy->keep = n;
    }
    return 0;
}

void detector_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<DetectorObject*>(op);
    release(self->engine);
    Py_XDECREF(self->values);
    Py_XDECREF(self->never_mask);
    Py_XDECREF(self->extra_never_mask);
    Py_XDECREF(self->policy.text);
    Py_TYPE(op)->tp_free(op);
}

PyObject* detector_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    static const char* names[] = {"values", "formats", "min_length", "never_mask", "mask", "keep_last", nullptr};
    DetectorOptions options;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O$OOOOO:Detector", const_cast<char**>(names), &options.values,
                                     &options.formats, &options.min_length, &options.never_mask, &options.mask,
                                     &options.keep_last)) {
        return nullptr;
    }
    return make_detector(options);
}

// ---- The configuration, read-only ---------------------------------------------

DetectorObject* as_detector(PyObject* op) { return reinterpret_cast<DetectorObject*>(op); }

PyObject* get_formats(PyObject* op, void*) {
    const uint32_t formats = as_detector(op)->formats;
    return kind_names(formats);
}
PyObject* get_min_length(PyObject* op, void*) { return PyLong_FromSsize_t(as_detector(op)->min_length); }
PyObject* get_never_mask(PyObject* op, void*) { return new_ref(as_detector(op)->never_mask); }
PyObject* get_mask(PyObject* op, void*) {
    const MaskPolicy& p = as_detector(op)->policy;
    return new_ref(p.kind == MaskPolicy::kFixed ? p.text : Py_None);
}
PyObject* get_keep_last(PyObject* op, void*) {
    const MaskPolicy& p = as_detector(op)->policy;
    return p.kind == MaskPolicy::kKeepLast ? PyLong_FromSsize_t(p.keep) : new_ref(Py_None);
}

PyGetSetDef detector_getset[] = {
    {"formats", get_formats, nullptr, "The formats looked for, as a tuple of names.", nullptr},
    {"min_length", get_min_length, nullptr, "The shortest value accepted, in code points.", nullptr},
    {"never_mask", get_never_mask, nullptr, "Words never accepted as values (casefolded).", nullptr},
    {"mask_text", get_mask, nullptr, "The fixed mask (the mask argument), or None.", nullptr},
    {"keep_last", get_keep_last, nullptr, "Code points shown at the end of a masked span, or None.", nullptr},
    {nullptr},
};

// "Detector(<N values>, formats=(...), min_length=5, ...)": never a value.
PyObject* detector_repr(PyObject* op) {
    DetectorObject* self = as_detector(op);
    Ref formats = Ref::steal(get_formats(op, nullptr));
    if (!formats) return nullptr;
    Ref text = Ref::steal(PyUnicode_FromFormat("Detector(<%zd value%s>, formats=%R, min_length=%zd",
                                               PyDict_GET_SIZE(self->values),
                                               PyDict_GET_SIZE(self->values) == 1 ? "" : "s", formats.get(),
                                               self->min_length));
    if (!text) return nullptr;
    Ref extra = Ref::steal(PyTuple_GET_SIZE(self->extra_never_mask) > 0
                               ? PyUnicode_FromFormat(", never_mask=%R", self->extra_never_mask)
                               : PyUnicode_FromString(""));
    if (!extra) return nullptr;
    Ref policy;
    if (self->policy.kind == MaskPolicy::kFixed) {
        policy = Ref::steal(PyUnicode_FromFormat(", mask=%R)", self->policy.text));
    } else if (self->policy.kind == MaskPolicy::kKeepLast) {
        policy = Ref::steal(PyUnicode_FromFormat(", keep_last=%zd)", self->policy.keep));
    } else {
        policy = Ref::steal(PyUnicode_FromString(")"));
    }
    if (!policy) return nullptr;
    return PyUnicode_FromFormat("%U%U%U", text.get(), extra.get(), policy.get());
}

PyMethodDef detector_methods[] = {
    {"add", add, METH_O, "Register one secret value (a str of min_length code points or more)."},
    {"update", update, METH_O, "Register every value of an iterable; a refused one leaves all out."},
    {"discard", discard, METH_O, "Forget a registered value, if it is one."},
    {"clear", clear, METH_NOARGS, "Forget every registered value."},
    {"find", detector_find, METH_O,
     "The spans found in a str (code point indices) or bytes (byte offsets):\n"
     "a list of (start, end, kinds), kinds being the names of what matched."},
    {"mask", detector_mask, METH_O,
     "The text with every span masked: a str for a str (the same object when\n"
     "nothing is found), bytes for bytes."},
    {"masker", detector_masker, METH_NOARGS, "A TextMasker: masks a stream of UTF-8 text line by line."},
    {"__reduce__", detector_reduce, METH_NOARGS, "Pickle support: the values and the configuration."},
    {nullptr},
};

PySequenceMethods detector_sequence = {
    .sq_length = length,
};

}  // namespace

PyTypeObject DetectorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "velmora.detect.Detector",
    .tp_basicsize = sizeof(DetectorObject),
    .tp_dealloc = detector_dealloc,
    .tp_repr = detector_repr,
    .tp_as_sequence = &detector_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Detector(values=(), *, formats=None, min_length=5, never_mask=(), mask=None, keep_last=None)\n--\n\n"
              "Finds registered secret values and well-known credential formats inside text,\n"
              "and masks the spans they cover.",
    .tp_methods = detector_methods,
    .tp_getset = detector_getset,
    .tp_new = detector_new,
};

PyObject* make_detector(const DetectorOptions& options) {
    uint32_t formats;
    Py_ssize_t min_length;
    Ref never_mask, extra;
    if (parse_formats(options.formats, &formats) < 0 || parse_min_length(options.min_length, &min_length) < 0 ||
        parse_never_mask(options.never_mask, &never_mask, &extra) < 0) {
        return nullptr;
    }
    Ref values = Ref::steal(PyDict_New());
    if (!values) return nullptr;
    PyObject* op = DetectorType.tp_alloc(&DetectorType, 0);
    if (op == nullptr) return nullptr;
    Ref self = Ref::steal(op);
    DetectorObject* d = as_detector(op);
    d->values = values.release();
    d->never_mask = never_mask.release();
    d->extra_never_mask = extra.release();
    d->min_length = min_length;
    d->formats = formats;
    d->engine = nullptr;
    d->stale = true;
    if (parse_policy(options.mask, options.keep_last, &d->policy) < 0) return nullptr;
    if (options.values != nullptr && options.values != Py_None && update_values(d, options.values) < 0) return nullptr;
    return self.release();
}

PyObject* kind_names(uint32_t kinds) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (int i = 0; i < kFormatCount; i++) {
        if ((kinds & kFormats[i].kind) && PyList_Append(names.get(), ds.format_names[i]) < 0) return nullptr;
    }
    if ((kinds & kValue) && PyList_Append(names.get(), ds.value_kind) < 0) return nullptr;
    return PyList_AsTuple(names.get());
}

// ---- Compilation ----------------------------------------------------------------

namespace {

// Append the UTF-8 of an exact str (lone surrogates in their 3-byte form).
bool append_utf8(Array<uint8_t>& bytes, PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); i++) {
        uint8_t encoded[4];
        const int length = utf8_encode(PyUnicode_READ(kind, data, i), encoded);
        if (!bytes.append(encoded, size_t(length))) return false;
    }
    return true;
}

Engine* compile_values(DetectorObject* self) {
    Array<uint8_t> bytes;
    Array<size_t> ends;  // where each value's bytes end
    Py_ssize_t at = 0;
    PyObject *key, *form;
    // The dict holds exact str keys and str or tuple-of-str values, which
    // nothing here can change.
    while (PyDict_Next(self->values, &at, &key, &form)) {
        if (PyUnicode_Check(form)) {
            if (!append_utf8(bytes, form) || !ends.push(bytes.size())) return nullptr;
            continue;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(form); i++) {
            if (!append_utf8(bytes, PyTuple_GET_ITEM(form, i)) || !ends.push(bytes.size())) return nullptr;
        }
    }
    Array<Pattern> patterns;
    if (!patterns.reserve(ends.size())) return nullptr;
    size_t start = 0;
    for (size_t i = 0; i < ends.size(); i++) {
        if (ends[i] - start > UINT32_MAX) return nullptr;
        patterns.push(Pattern{bytes.data() + start, uint32_t(ends[i] - start)});
        start = ends[i];
    }
    return compile(patterns.data(), patterns.size(), self->formats);
}

}  // namespace

Engine* acquire_engine(DetectorObject* self) {
    if (self->stale || self->engine == nullptr) {
        Engine* fresh = compile_values(self);
        if (fresh == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        Engine* old = self->engine;
        self->engine = fresh;
        self->stale = false;
        release(old);  // scans still running on it keep their own references
    }
    retain(self->engine);
    return self->engine;
}

int ready_detector_type(PyObject* module) {
    if (PyType_Ready(&DetectorType) < 0) return -1;
    return PyModule_AddObjectRef(module, "Detector", reinterpret_cast<PyObject*>(&DetectorType));
}

}  // namespace velmora::detect

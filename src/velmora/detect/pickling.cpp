// Pickling of Detector.
//
// Strategy: `__reduce__` returns `(_rebuild, (values, formats, min_length,
// never_mask, mask, keep_last))`: the registered values as a list, in the
// order they were added, and the constructor's arguments (never_mask: the
// words given, not the defaults). `_rebuild` makes the detector as the
// constructor does, checking every value again, so a doctored pickle gets
// the constructor's errors and nothing half-made. Values travel in the
// pickle: that is what lets a detector reach worker processes.
#include "pickling.h"

namespace velmora::detect {

PyObject* detector_reduce(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<DetectorObject*>(op);
    Ref values = Ref::steal(PyDict_Keys(self->values));
    Ref formats = Ref::steal(kind_names(self->formats));
    Ref min_length = Ref::steal(PyLong_FromSsize_t(self->min_length));
    const MaskPolicy& policy = self->policy;
    Ref mask = Ref::borrow(policy.kind == MaskPolicy::kFixed ? policy.text : Py_None);
    Ref keep_last = Ref::steal(policy.kind == MaskPolicy::kKeepLast ? PyLong_FromSsize_t(policy.keep)
                                                                    : new_ref(Py_None));
    if (!values || !formats || !min_length || !keep_last) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(6, values.get(), formats.get(), min_length.get(), self->extra_never_mask,
                                       mask.get(), keep_last.get()));
    if (!args) return nullptr;
    return PyTuple_Pack(2, ds.rebuild, args.get());
}

namespace {

PyObject* rebuild(PyObject*, PyObject* args) {
    DetectorOptions options;
    if (!PyArg_ParseTuple(args, "OOOOOO:_rebuild", &options.values, &options.formats, &options.min_length,
                          &options.never_mask, &options.mask, &options.keep_last)) {
        return nullptr;
    }
    return make_detector(options);
}

}  // namespace

PyMethodDef rebuild_def = {"_rebuild", rebuild, METH_VARARGS, "A detector from its pickled state."};

}  // namespace velmora::detect

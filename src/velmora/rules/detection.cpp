// The detector of a rule omitter, as the walks see it.
//
// The hook holds, for one call: a reference to the detector (its mask
// policy is borrowed from it), and the engine snapshot acquired when the
// call began, so values added meanwhile (by another thread, or by code the
// walk runs) reach the next call, never half of this one.
#include "detection.h"

namespace velmora::rules {

namespace {

enum Held { kDetector, kEngine, kPolicy };

PyObject* apply(const StrHook* hook, PyObject* value) {
    auto* engine = static_cast<const detect::Engine*>(hook->state[kEngine]);
    auto* policy = static_cast<const MaskPolicy*>(hook->state[kPolicy]);
    return rs.detect_api->mask_str(engine, value, policy);
}

void close(StrHook* hook) {
    rs.detect_api->release(static_cast<detect::Engine*>(hook->state[kEngine]));
    Py_DECREF(static_cast<PyObject*>(hook->state[kDetector]));  // may run a weak reference's callback
}

}  // namespace

int detector_argument(PyObject* detect, Ref* out) {
    *out = Ref();
    if (detect == nullptr || detect == Py_None) return 0;
    if (rs.detect_api == nullptr && detect::import_detect_api(&rs.detect_api) < 0) return -1;
    if (Py_TYPE(detect) != rs.detect_api->detector_type) {
        PyErr_Format(PyExc_TypeError, "detect must be a velmora.detect.Detector or None, not %.200s",
                     Py_TYPE(detect)->tp_name);
        return -1;
    }
    *out = Ref::borrow(detect);
    return 0;
}

int open_detection(PyObject* detector, StrHook* hook) {
    if (detector == nullptr) return 0;
    // A detector was accepted, so the API is there.
    detect::Engine* engine = rs.detect_api->acquire(detector);
    if (engine == nullptr) return -1;
    hook->apply = apply;
    hook->close = close;
    hook->state[kDetector] = new_ref(detector);
    hook->detector = detector;
    hook->state[kEngine] = engine;
    hook->state[kPolicy] = const_cast<MaskPolicy*>(rs.detect_api->mask_policy(detector));
    return 1;
}

}  // namespace velmora::rules

// The API table of abi.h: thin checks around the engine.
#include "capsule.h"

#include "find.h"
#include "mask.h"
#include "scanning.h"

namespace velmora::detect {

namespace {

Engine* api_acquire(PyObject* detector) {
    if (!is_detector(detector)) {
        PyErr_Format(PyExc_TypeError, "expected a velmora.detect.Detector, not %.200s", Py_TYPE(detector)->tp_name);
        return nullptr;
    }
    return acquire_engine(reinterpret_cast<DetectorObject*>(detector));
}

const MaskPolicy* api_mask_policy(PyObject* detector) { return &reinterpret_cast<DetectorObject*>(detector)->policy; }

PyObject* api_mask_str(const Engine* engine, PyObject* text, const MaskPolicy* policy) {
    if (!PyUnicode_CheckExact(text)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    SpanMask checked;
    if (PyUnicode_READY(text) < 0 || span_mask_of(policy, &checked) < 0) return nullptr;
    return mask_str(*engine, text, policy, Lock::kKeep);
}

void api_release(Engine* engine) { release(engine); }

int api_find_utf8(const Engine* engine, const uint8_t* text, size_t size, SpanList* spans, Carry* carry) {
    return find_spans<Utf8>(*engine, text, size, *spans, carry) ? 0 : -1;
}

int api_find_str(const Engine* engine, PyObject* text, SpanList* spans) {
    return find_in_str(*engine, text, *spans) ? 0 : -1;
}

int api_mask_utf8(const uint8_t* text, size_t size, const SpanList* spans, const SpanMask* mask, ByteSink* sink) {
    return mask_utf8(text, size, *spans, *mask, *sink) ? 0 : -1;
}

DetectApi api;

}  // namespace

int publish_api(PyObject* module) {
    api = DetectApi{
        .version = kDetectApiVersion,
        .size = sizeof(DetectApi),
        .detector_type = &DetectorType,
        .acquire = api_acquire,
        .mask_policy = api_mask_policy,
        .span_mask = span_mask_of,
        .mask_str = api_mask_str,
        .release = api_release,
        .find_utf8 = api_find_utf8,
        .find_str = api_find_str,
        .mask_utf8 = api_mask_utf8,
    };
    Ref capsule = Ref::steal(PyCapsule_New(&api, kDetectApiCapsule, nullptr));
    if (!capsule) return -1;
    return PyModule_AddObjectRef(module, "_C_API", capsule.get());
}

}  // namespace velmora::detect

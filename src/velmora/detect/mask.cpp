// Masks of spans, in UTF-8 and in str.
#include "mask.h"

#include "units.h"

namespace velmora::detect {

namespace {

bool keeps_tail(const SpanMask& mask, const Span& span, size_t count) {
    return mask.kind == MaskPolicy::kKeepLast && !(span.kinds & kKeepsNothing) && count > mask.keep;
}

}  // namespace

int span_mask_of(const MaskPolicy* policy, SpanMask* out) {
    *out = SpanMask{MaskPolicy::kStars, 0, nullptr, 0};
    if (policy == nullptr) return 0;
    switch (policy->kind) {
        case MaskPolicy::kStars:
            return 0;
        case MaskPolicy::kKeepLast:
            if (policy->keep <= 0) break;
            out->kind = MaskPolicy::kKeepLast;
            out->keep = size_t(policy->keep);
            return 0;
        case MaskPolicy::kFixed: {
            if (policy->text == nullptr || !PyUnicode_CheckExact(policy->text)) break;
            // The UTF-8 of a str with lone surrogates cannot be had from
            // the str itself; the mask text is the user's, so refuse it.
            Py_ssize_t size;
            const char* text = PyUnicode_AsUTF8AndSize(policy->text, &size);
            if (text == nullptr) return -1;
            out->kind = MaskPolicy::kFixed;
            out->text = text;
            out->text_size = size_t(size);
            return 0;
        }
    }
    PyErr_SetString(PyExc_ValueError, "a mask policy this detector cannot follow");
    return -1;
}

bool mask_utf8(const uint8_t* text, size_t size, const SpanList& spans, const SpanMask& mask, ByteSink& sink) {
    size_t at = 0;
    for (const Span& span : spans) {
        if (!sink.append(sink.context, text + at, span.begin - at)) return false;
        at = span.end;
        if (mask.kind == MaskPolicy::kFixed) {
            if (!sink.append(sink.context, reinterpret_cast<const uint8_t*>(mask.text), mask.text_size)) return false;
            continue;
        }
        size_t count = 0;
        for (size_t i = span.begin; i < span.end; i++) count += starts_character(text[i]);
        size_t tail = span.end;  // the kept code points start here
        if (keeps_tail(mask, span, count)) {
            for (size_t kept = 0; kept < mask.keep;) kept += starts_character(text[--tail]);
            count -= mask.keep;
        }
        if (!sink.fill(sink.context, '*', count) || !sink.append(sink.context, text + tail, span.end - tail)) {
            return false;
        }
    }
    return sink.append(sink.context, text + at, size - at);
}

PyObject* mask_str_spans(PyObject* text, const SpanList& spans, const MaskPolicy* policy) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const bool fixed = policy != nullptr && policy->kind == MaskPolicy::kFixed;
    const Py_ssize_t keep = policy != nullptr && policy->kind == MaskPolicy::kKeepLast ? policy->keep : 0;
    PyObject* fixed_text = fixed ? policy->text : nullptr;
    const Py_ssize_t fixed_length = fixed ? PyUnicode_GET_LENGTH(fixed_text) : 0;

    // What each span keeps of itself, and the result's exact size and
    // largest code point (a str must be made in the smallest kind that holds it).
    auto kept_from = [&](const Span& s) -> Py_ssize_t {
        const Py_ssize_t length = Py_ssize_t(s.end - s.begin);
        return keep > 0 && !(s.kinds & kKeepsNothing) && length > keep ? Py_ssize_t(s.end) - keep : Py_ssize_t(s.end);
    };
    Py_UCS4 largest = '*';
    Py_ssize_t length = n;
    auto widen = [&](Py_ssize_t from, Py_ssize_t to) {
        for (Py_ssize_t i = from; i < to; i++) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c > largest) largest = c;
        }
    };
    Py_ssize_t at = 0;
    for (const Span& s : spans) {
        widen(at, Py_ssize_t(s.begin));
        if (fixed) {
            length += fixed_length - Py_ssize_t(s.end - s.begin);
        } else {
            widen(kept_from(s), Py_ssize_t(s.end));
        }
        at = Py_ssize_t(s.end);
    }
    widen(at, n);
    if (fixed) {
        const int fixed_kind = PyUnicode_KIND(fixed_text);
        const void* fixed_data = PyUnicode_DATA(fixed_text);
        for (Py_ssize_t i = 0; i < fixed_length; i++) {
            const Py_UCS4 c = PyUnicode_READ(fixed_kind, fixed_data, i);
            if (c > largest) largest = c;
        }
    }

    PyObject* result = PyUnicode_New(length, largest);
    if (result == nullptr) return nullptr;
    const int out_kind = PyUnicode_KIND(result);
    void* out = PyUnicode_DATA(result);
    Py_ssize_t w = 0;
    auto copy = [&](const void* from_data, int from_kind, Py_ssize_t from, Py_ssize_t to) {
        if (from_kind == out_kind) {
            std::memcpy(static_cast<char*>(out) + w * out_kind, static_cast<const char*>(from_data) + from * from_kind,
                        size_t(to - from) * size_t(out_kind));
            w += to - from;
            return;
        }
        for (Py_ssize_t i = from; i < to; i++) PyUnicode_WRITE(out_kind, out, w++, PyUnicode_READ(from_kind, from_data, i));
    };
    at = 0;
    for (const Span& s : spans) {
        copy(data, kind, at, Py_ssize_t(s.begin));
        if (fixed) {
            copy(PyUnicode_DATA(fixed_text), PyUnicode_KIND(fixed_text), 0, fixed_length);
        } else {
            const Py_ssize_t kept = kept_from(s);
            for (Py_ssize_t i = Py_ssize_t(s.begin); i < kept; i++) PyUnicode_WRITE(out_kind, out, w++, '*');
            copy(data, kind, kept, Py_ssize_t(s.end));
        }
        at = Py_ssize_t(s.end);
    }
    copy(data, kind, at, n);
    return result;
}

}  // namespace velmora::detect

// scan(), scan_lines() and the package's own _scan_lines_into(): argument
// checks, the release of the interpreter lock around the scanner, and the
// results; and the functions that show and switch the vector path.
#include "binding.h"

#include "../omit/ref.h"
#include "detection.h"
#include "errors.h"
#include "layout.h"
#include "memory.h"
#include "scanner.h"
#include "verdicts.h"

#include <cstring>
#include <optional>

namespace velmora::scan {

namespace {

PyObject* bytes_of(const ByteBuffer& out) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), Py_ssize_t(out.size()));
}

// A fault that is not the text's: the exception to raise. The omitter's own
// exception is already set.
PyObject* stopped(Fault fault) {
    if (fault == Fault::kNoMemory) return PyErr_NoMemory();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "velmora.scan: verdict failed without an exception");
    return nullptr;
}

// The `detect` argument: a velmora.detect.Detector, held for the call with
// the engine it had when the call began (what threads add meanwhile is for
// later scans) and its mask, or None.
struct DetectArg {
    Ref hold;
    const detect::DetectApi* api = nullptr;
    detect::Engine* engine = nullptr;
    std::optional<Detection> detection;

    DetectArg() = default;
    DetectArg(const DetectArg&) = delete;
    DetectArg& operator=(const DetectArg&) = delete;
    ~DetectArg() {
        if (engine != nullptr) api->release(engine);
    }

    // 0, or -1 with an exception set.
    int open(ScanState* state, PyObject* arg, const char* name) {
        if (arg == Py_None) return 0;
        if (state->detect_api == nullptr && detect::import_detect_api(&state->detect_api) < 0) return -1;
        api = state->detect_api;
        if (!Py_IS_TYPE(arg, api->detector_type)) {
            PyErr_Format(PyExc_TypeError, "%s() detect must be a velmora.detect.Detector or None, not %.200s", name,
                         Py_TYPE(arg)->tp_name);
            return -1;
        }
        hold = Ref::borrow(arg);
        detect::SpanMask mask;
        if (api->span_mask(api->mask_policy(arg), &mask) < 0) return -1;
        engine = api->acquire(arg);
        if (engine == nullptr) return -1;
        detection.emplace(api, engine, mask);
        return 0;
    }
    Detection* get() { return detection ? &*detection : nullptr; }
};

// The detector the omitter itself masks by, inside the str values its
// verdicts let through (a rule omitter's `detect`), as a new reference in
// `out`; left empty when it has none. The scan masks by it as the walks do.
// Runs before anything of the scan is held: closing the hook may run code.
// 0, or -1 with an exception set.
int own_detector(OmitterObject* omitter, Ref* out) {
    const auto open = omitter->vtab->open_str_hook;
    if (open == nullptr) return 0;
    StrHook hook{};
    const int opened = open(omitter, &hook);
    if (opened <= 0) return opened;
    if (hook.detector != nullptr) *out = Ref::borrow(hook.detector);
    hook.close(&hook);
    return 0;
}

// What the functions take from their arguments: the omitter, held for the
// call, with the copy of its mask policy the scanner reads, the input, and
// the detector if any.
struct Call {
    Ref hold;
    OmitterObject* omitter = nullptr;
    Input input;
    MaskSpec spec;
    ScanPlan plan;
    DetectArg detect;

    // 0, or -1 with an exception set.
    int open(ScanState* state, PyObject* omitter_arg, PyObject* data, PyObject* detect_arg, const char* name,
             bool in_place = false) {
        if (check_omitter(state, omitter_arg, name) < 0) return -1;
        hold = Ref::borrow(omitter_arg);
        omitter = reinterpret_cast<OmitterObject*>(omitter_arg);
        // `detect=` and the omitter's own detector: the scan masks by one,
        // and two that differ would leave the spans of one unmasked.
        Ref own;
        if (own_detector(omitter, &own) < 0) return -1;
        if (own && detect_arg != Py_None && detect_arg != own.get()) {
            PyErr_Format(PyExc_ValueError,
                         "%s() detect differs from the omitter's own detector: pass one of them, not both", name);
            return -1;
        }
        if (detect.open(state, own ? own.get() : detect_arg, name) < 0) return -1;
        if (input.open(data, name, in_place) < 0) return -1;
        if (read_mask_spec(omitter, &spec) < 0) return -1;
        return read_scan_plan(omitter, &plan);
    }

    // A scanner for the call's omitter, into `out`.
    void set_up(Scanner& scanner) {
        scanner.detect_with(detect.get());
        if (plan.plan != nullptr) scanner.plan_with(plan);
    }
};

// The `indent` argument of scan(): -1 for None, else 0 to 1000; -2 with an
// exception set.
long indent_of(PyObject* indent_arg, bool compact) {
    if (indent_arg == Py_None) return -1;
    if (!PyLong_CheckExact(indent_arg)) {
        PyErr_Format(PyExc_TypeError, "scan() indent must be an int or None, not %.200s",
                     Py_TYPE(indent_arg)->tp_name);
        return -2;
    }
    const long indent = PyLong_AsLong(indent_arg);
    if (indent == -1 && PyErr_Occurred()) return -2;
    if (indent < 0 || indent > 1000) {
        PyErr_SetString(PyExc_ValueError, "scan() indent must be between 0 and 1000");
        return -2;
    }
    if (compact) {
        PyErr_SetString(PyExc_ValueError, "scan() takes indent or compact, not both");
        return -2;
    }
    return indent;
}

// ---- scan -------------------------------------------------------------------

PyObject* py_scan(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "indent", "compact", "detect", nullptr};
    PyObject* omitter_arg = nullptr;
    PyObject* data = nullptr;
    PyObject* indent_arg = Py_None;
    int compact = 0;
    PyObject* detect_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OpO:scan", const_cast<char**>(keywords), &omitter_arg, &data,
                                     &indent_arg, &compact, &detect_arg)) {
        return nullptr;
    }
    ScanState* state = state_of(module);
    const long indent = indent_of(indent_arg, compact);
    if (indent == -2) return nullptr;
    const bool relayout = indent >= 0 || compact;
    Call call;
    if (call.open(state, omitter_arg, data, detect_arg, "scan") < 0) return nullptr;
    const Input& input = call.input;

    // Laid out anew, the scanned text is only a step on the way, and the
    // result is a copy of the layout; otherwise it is written in place.
    ByteBuffer out;
    ByteBuffer laid_out;
    Result result;
    if (relayout ? !out.reserve(input.size() + 2) : result.lend(out, input.size()) < 0) return PyErr_NoMemory();
    OmitterVerdicts verdicts(call.omitter, call.plan.plan);
    Scanner scanner(call.spec, verdicts.verdicts(), out);
    call.set_up(scanner);
    if (tell_verdicts(state, call.omitter, scanner) < 0) return nullptr;
    bool blank = false;
    const uint8_t* where = nullptr;
    LayoutResult layout = LayoutResult::kDone;

    verdicts.release_for(input.size());
    Fault fault = scanner.text(input.begin(), input.end(), &blank, &where);
    if (fault == Fault::kNone && blank) {
        fault = Fault::kExpectingValue;  // a document needs a value
        where = input.end();
    }
    if (fault == Fault::kNone && !scanner.finish(input.end())) fault = Fault::kNoMemory;
    if (fault == Fault::kNone && relayout) {
        const size_t limit = out.size() < (size_t(64) << 20) / 16 ? (size_t(64) << 20) : out.size() * 16;
        layout = lay_out(out.data(), out.data() + out.size(), compact ? -1 : indent, limit, laid_out);
    }
    verdicts.reacquire();

    if (fault == Fault::kNoMemory || fault == Fault::kVerdictFailed) return stopped(fault);
    if (fault != Fault::kNone) {
        const size_t offset = size_t(where - input.begin());
        Ref error = Ref::steal(make_scan_error(state, fault, offset, locate(input.begin(), offset)));
        if (error) PyErr_SetObject(state->scan_error, error.get());
        return nullptr;
    }
    if (layout == LayoutResult::kNoMemory) return PyErr_NoMemory();
    if (layout == LayoutResult::kTooLarge) {
        PyErr_SetString(PyExc_ValueError, "scan(): indenting this document would make it too large "
                                          "(nesting too deep); lay it out compact instead");
        return nullptr;
    }
    return relayout ? bytes_of(laid_out) : result.finish(out);
}

// ---- scan_lines ---------------------------------------------------------------

// The ScanError of each bad line, in a new list. Lines are counted on from
// one fault to the next: the faults come in order, so the data is read once.
PyObject* line_errors(ScanState* state, const Input& input, const ByteBuffer& faults) {
    const size_t count = faults.size() / sizeof(LineFault);
    Ref errors = Ref::steal(PyList_New(Py_ssize_t(count)));
    if (!errors) return nullptr;
    size_t line = 1;
    size_t counted_to = 0;
    for (size_t i = 0; i < count; i++) {
        LineFault record;
        std::memcpy(&record, faults.data() + i * sizeof record, sizeof record);
        for (const uint8_t* p = input.begin() + counted_to;;) {
            const void* found = std::memchr(p, '\n', record.line_begin - size_t(p - input.begin()));
            if (found == nullptr) break;
            line++;
            p = static_cast<const uint8_t*>(found) + 1;
        }
        counted_to = record.line_begin;
        const Position position{line, column_of(input.begin(), record.line_begin, record.where)};
        PyObject* error = make_scan_error(state, record.fault, record.where, position);
        if (error == nullptr) return nullptr;
        PyList_SET_ITEM(errors.get(), Py_ssize_t(i), error);
    }
    return errors.release();
}

// Both line functions: the scan of `call`'s input into `out` (lent memory),
// then (output, errors, lines) with `output` made by `finish`.
template <class Finish>
PyObject* run_lines(ScanState* state, Call& call, ByteBuffer& out, bool skip_invalid, Finish finish) {
    ByteBuffer faults;
    OmitterVerdicts verdicts(call.omitter, call.plan.plan);
    Scanner scanner(call.spec, verdicts.verdicts(), out);
    call.set_up(scanner);
    if (tell_verdicts(state, call.omitter, scanner) < 0) return nullptr;
    size_t lines = 0;
    verdicts.release_for(call.input.size());
    const Fault fault = scanner.lines(call.input.begin(), call.input.end(), skip_invalid, faults, &lines);
    verdicts.reacquire();
    if (fault != Fault::kNone) return stopped(fault);
    Ref errors = Ref::steal(line_errors(state, call.input, faults));
    if (!errors) return nullptr;
    Ref output = Ref::steal(finish());
    Ref line_count = Ref::steal(PyLong_FromSize_t(lines));
    if (!output || !line_count) return nullptr;
    return PyTuple_Pack(3, output.get(), errors.get(), line_count.get());
}

PyObject* py_scan_lines(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "skip_invalid", "detect", nullptr};
    PyObject* omitter_arg = nullptr;
    PyObject* data = nullptr;
    int skip_invalid = 0;
    PyObject* detect_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pO:scan_lines", const_cast<char**>(keywords), &omitter_arg,
                                     &data, &skip_invalid, &detect_arg)) {
        return nullptr;
    }
    ScanState* state = state_of(module);
    Call call;
    if (call.open(state, omitter_arg, data, detect_arg, "scan_lines") < 0) return nullptr;
    ByteBuffer out;
    Result result;
    if (result.lend(out, call.input.size()) < 0) return nullptr;
    return run_lines(state, call, out, skip_invalid, [&] { return result.finish(out); });
}

// _scan_lines_into(omitter, data, out, /, *, skip_invalid=False): scan_lines
// for the command line, which reuses its memory from block to block. `data`
// is read where it is (the caller leaves it alone meanwhile), and the
// output goes into the bytearray `out` from its start, which grows only if
// it is too small; the first item of the result is the output's size.
PyObject* py_scan_lines_into(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"", "", "", "skip_invalid", "detect", nullptr};
    PyObject* omitter_arg = nullptr;
    PyObject* data = nullptr;
    PyObject* target_arg = nullptr;
    int skip_invalid = 0;
    PyObject* detect_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$pO:_scan_lines_into", const_cast<char**>(keywords),
                                     &omitter_arg, &data, &target_arg, &skip_invalid, &detect_arg)) {
        return nullptr;
    }
    ScanState* state = state_of(module);
    Call call;
    if (call.open(state, omitter_arg, data, detect_arg, "_scan_lines_into", true) < 0) return nullptr;
    ByteBuffer out;
    Target target;
    if (target.open(target_arg, call.input, out) < 0) return nullptr;
    return run_lines(state, call, out, skip_invalid,
                     [&]() -> PyObject* { return target.finish(out) < 0 ? nullptr : PyLong_FromSize_t(out.size()); });
}

// ---- The vector path ------------------------------------------------------------

PyObject* py_paths(PyObject*, PyObject*) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (int i = 0; i < kPathCount; i++) {
        if (!path_available(Path(i))) continue;
        Ref name = Ref::steal(PyUnicode_FromString(path_name(Path(i))));
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(names.get());
}

PyObject* py_set_path(PyObject*, PyObject* name) {
    const char* wanted = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
    if (wanted == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_set_path() takes a path name");
        return nullptr;
    }
    for (int i = 0; i < kPathCount; i++) {
        if (std::strcmp(wanted, path_name(Path(i))) == 0 && path_available(Path(i))) {
            const Path previous = current_path();
            set_path(Path(i));
            return PyUnicode_FromString(path_name(previous));
        }
    }
    PyErr_Format(PyExc_ValueError, "no scanner path %R on this machine", name);
    return nullptr;
}

}  // namespace

PyMethodDef scan_functions[] = {
    {
        .ml_name = "scan",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan)),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "scan(omitter, data, /, *, indent=None, compact=False, detect=None)\n--\n\n"
                  "Redact one JSON document (UTF-8 bytes) as text: the result is `data` with every\n"
                  "string the omitter hides replaced by its mask. Raises ScanError on invalid JSON.\n"
                  "With indent or compact, white space between tokens is laid out anew. With detect\n"
                  "(a velmora.detect.Detector), what it finds inside the other string values is masked.",
    },
    {
        .ml_name = "scan_lines",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan_lines)),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "scan_lines(omitter, data, /, *, skip_invalid=False, detect=None)\n--\n\n"
                  "Redact JSON Lines: returns (output, errors, lines). Each line passes through with its\n"
                  "masks; a bad line gives a ScanError (lineno counted in `data`) and is left out; without\n"
                  "skip_invalid the output ends before the first bad line. `lines` counts the lines read.",
    },
    {
        .ml_name = "_scan_lines_into",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_scan_lines_into)),
        .ml_flags = METH_VARARGS | METH_KEYWORDS,
        .ml_doc = "_scan_lines_into(omitter, data, out, /, *, skip_invalid=False, detect=None)\n--\n\n"
                  "scan_lines() into the bytearray `out`, reading `data` in place: (size, errors, lines).\n"
                  "For the velmora command, which reuses its buffers.",
    },
    {
        .ml_name = "_paths",
        .ml_meth = py_paths,
        .ml_flags = METH_NOARGS,
        .ml_doc = "_paths()\n--\n\nThe scanner's vector paths this machine can run, slowest first.",
    },
    {
        .ml_name = "_set_path",
        .ml_meth = py_set_path,
        .ml_flags = METH_O,
        .ml_doc = "_set_path(name, /)\n--\n\nScan by the vector path `name` from now on; returns the one before.",
    },
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmora::scan

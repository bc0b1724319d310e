// Verdicts from an omitter of velmora.omit (or of any module that shares its
// method table), for a scan that runs without the interpreter lock.
#pragma once

#include "masks.h"
#include "scanner.h"
#include "state.h"

namespace velmora::scan {

// Refuse what a text scanner cannot honour: an object that is not an
// Omitter, and a Python subclass that overrides `omit` or `omit_recurse`
// (on the class or on the instance). 0, or -1 with TypeError set.
int check_omitter(ScanState* state, PyObject* omitter, const char* function);

// A copy of the omitter's mask policy that can be read without the lock.
// 0, or -1 with an exception set.
int read_mask_spec(OmitterObject* omitter, MaskSpec* spec);

// For an omitter of velmora.omit's own kinds whose key list holds nothing
// but str (and None): the verdicts of all keys written without escapes,
// told to the scanner before it starts (key in the list, or not), so that a
// small document pays for no question. Other omitters are asked key by key.
// 0, or -1 with an exception set.
int tell_verdicts(ScanState* state, OmitterObject* omitter, Scanner& scanner);

// Asks the omitter's `should_hide` for keys the scan has not met before.
// Between release() and reacquire() the interpreter lock is released; each
// question takes it back for the call and releases it again.
class OmitterVerdicts {
public:
    // `plan`: the omitter's rule plan, or null; with one, the verdicts come
    // with the bits selection.h describes.
    explicit OmitterVerdicts(OmitterObject* omitter, const RulePlan* plan = nullptr)
        : omitter_(omitter), plan_(plan) {}
    ~OmitterVerdicts() { reacquire(); }

    Verdicts verdicts() { return Verdicts{ask, this}; }
    // Let other threads run during a scan of `size` bytes: not for small
    // inputs, where taking the lock back for each new key would cost more
    // than the scan.
    void release_for(size_t size) {
        if (size >= kReleaseFrom) release();
    }
    void release() {
        if (saved_ == nullptr) saved_ = PyEval_SaveThread();
    }
    void reacquire() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }

private:
    static constexpr size_t kReleaseFrom = size_t(64) << 10;
    static int ask(void* context, const uint8_t* key, const uint8_t* key_end);

    // The plan's bits for a verdict `hidden` of the str `key`; -1 with an
    // exception set.
    int plan_bits(PyObject* key, bool hidden) const;

    OmitterObject* omitter_;
    const RulePlan* plan_;
    PyThreadState* saved_ = nullptr;
};

}  // namespace velmora::scan

// The str value hook of the call a walk serves (abi.h: open_str_hook).
//
// A hook is opened once per call: by the first level of a walk entered
// from Python (or through the table by native code) for its omitter, and
// every nested level of that call finds it here instead of opening its
// own, so the call looks at every value with one state of what it looks
// for. An override the walk calls for a nested container walks that
// container for the call, and the walk it enters (through super()) finds
// the call's hook too, as does any other walk of the same omitter entered
// straight from the override's code (a call of its own there included). A
// walk entered from Python code the walk itself runs mid-walk (a
// finaliser, a key's __eq__) is a call of its own, and opens its own.
//
// The mask policy the call masks by is read with the hook and kept with
// it, so that an `__init__` run mid-walk (which gives the object a new
// policy, keeping the old one alive) changes no mask of the running call.
#pragma once

#include "abi.h"
#include "depth.h"
#include "epoch.h"

namespace velmora {

// The hook open on this thread: whose, for which call (its walk_depth),
// the hook itself (null: that omitter has none), and the mask policy the
// call masks by (null: the default).
struct OpenHook {
    OmitterObject* owner;
    int depth;
    const StrHook* hook;
    const MaskPolicy* mask;
};
extern __attribute__((tls_model("initial-exec"))) thread_local OpenHook open_hook;

// One level's view of the hook: the call's, opened here when this level is
// the call's first, and closed when this level ends.
class HookScope {
public:
    HookScope() {}  // `own_` and `outer_` are filled when a hook is opened
    HookScope(const HookScope&) = delete;
    HookScope& operator=(const HookScope&) = delete;

    // False with an exception set when the hook could not be opened.
    bool enter(OmitterObject* self) {
        auto open = self->vtab->open_str_hook;
        if (open == nullptr) {
            // No hook, and so no call to keep a policy for: the object's
            // own, read at each level.
            mask_ = mask_policy_of(self);
            return true;
        }
        if (open_hook.owner == self && open_hook.depth == walk_depth) {
            hook_ = open_hook.hook;
            mask_ = open_hook.mask;
            return true;
        }
        const int opened = open(self, &own_);
        if (opened < 0) return false;
        hook_ = opened > 0 ? &own_ : nullptr;
        mask_ = mask_policy_of(self);
        outer_ = open_hook;
        opened_here_ = true;
        open_hook = {self, walk_depth, hook_, mask_};
        return true;
    }
    ~HookScope() {
        if (!opened_here_) return;
        open_hook = outer_;
        if (hook_ != nullptr) {
            own_.close(&own_);
            note_foreign_code();  // a release may run code
        }
    }

    // Null: no hook, the walk looks at nothing beyond its verdicts.
    const StrHook* hook() const { return hook_; }
    // The call's mask policy (null: the default).
    const MaskPolicy* mask() const { return mask_; }

private:
    const StrHook* hook_ = nullptr;
    const MaskPolicy* mask_ = nullptr;
    StrHook own_;
    OpenHook outer_;
    bool opened_here_ = false;
};

// Held across an override's call for a nested container: the walk the
// override enters one Python level further down belongs to the same call.
class HookPassedOn {
public:
    explicit HookPassedOn(OmitterObject* self) : outer_(open_hook) {
        if (open_hook.owner == self && open_hook.depth == walk_depth) open_hook.depth = walk_depth + 1;
    }
    HookPassedOn(const HookPassedOn&) = delete;
    HookPassedOn& operator=(const HookPassedOn&) = delete;
    ~HookPassedOn() { open_hook = outer_; }

private:
    const OpenHook outer_;
};

}  // namespace velmora

// The foreign-code epoch: a counter that moves whenever code outside the
// module may have run since it last moved (Python code, a finaliser, a
// collection, another thread). What the module caches about objects it
// does not own (a key list's index, verdicts by key object, a dict's table
// read in place) is trusted only while the counter stands still; every
// place that may let foreign code run advances it right after.
#pragma once

#include <cstdint>

namespace velmora {

inline uint64_t foreign_code_epoch = 0;

inline void note_foreign_code() { ++foreign_code_epoch; }

}  // namespace velmora

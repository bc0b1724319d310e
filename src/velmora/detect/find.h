// Finding spans: the candidate filter, the format checks and the
// automaton, over text of any of the four encodings.
#pragma once

#include "engine.h"

namespace velmora::detect {

// Find the spans of [t, t + n) into `out` (cleared first): sorted, merged,
// none touching. `carry` (may be null) is read and updated as abi.h says.
// False when memory ran out.
template <class E>
bool find_spans(const Engine& engine, const typename E::Unit* t, size_t n, SpanList& out, Carry* carry);

// The spans of an exact str, in code point indices: ASCII text is read as
// UTF-8 (the same bytes), the rest by its kind. False when memory ran out.
bool find_in_str(const Engine& engine, PyObject* text, SpanList& out);

// Sort `spans` by start and merge the ones that overlap or touch.
void merge_spans(SpanList& spans);

// Where the processor has AVX2, the filter of UTF-8 and Latin-1 text runs
// eight places at a time. Whether it may (at module init: whether it
// can), for tests to run both paths; returns whether it now does.
bool use_vector_path(bool wanted);

}  // namespace velmora::detect

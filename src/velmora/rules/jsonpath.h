// The JSONPath subset rule omitters take (`paths=`), read into steps.
//
//   $             the top-level value; every path starts with it
//   .name         the member `name` (a name of anything but . [ ] ' " * and
//                 white space)
//   ['name']      the member `name`, quoted with ' or " and escaped as in a
//   ["name"]      JSON string (\' too, inside single quotes)
//   .* [*]        every member or item
//   ..name        the member `name` at any depth below
//   ..['name']
//   [N]           the item N of a list (N >= 0)
//
// The automaton over the steps (omit/rule_plan.h) is compiled by plan.h.
#pragma once

#include "state.h"

namespace velmora::rules {

// The steps of `path` (an exact str) as a new list of (kind, argument)
// pairs: kind a PathStep::Kind, the argument the name (an exact str) or the
// index (an int), None for kAny. Null with ValueError set when the path is
// malformed: "paths[<which>] <path>: <fault> at position <n>", n counted
// in code points from 0.
PyObject* parse_path(PyObject* path, Py_ssize_t which);

}  // namespace velmora::rules

// Traceback entries: each failure that leaves a level of the module's code
// adds one entry, named by its site (sites.h).
#pragma once

#include "ref.h"
#include "sites.h"

namespace velmora {

// Adds the site's entry (qualified name, file, line) to the pending
// exception. Each site keeps its own code object for the life of the
// process. If the entry cannot be made, the exception of that failure
// replaces the one being reported.
void add_traceback(Site site);

// A failure at `site`: its entry added, the failure value returned.
inline PyObject* fail(Site site) {
    add_traceback(site);
    return nullptr;
}
inline int fail_status(Site site) {
    add_traceback(site);
    return -1;
}

// TypeError "Expected %s, got %.200s" for a value taken from the data that
// must be exactly one built-in type ("unicode" names str).
void raise_unexpected_type(const char* expected_name, PyObject* value);

inline PyObject* fail_unexpected(const char* expected_name, PyObject* value, Site site) {
    raise_unexpected_type(expected_name, value);
    return fail(site);
}
inline int fail_unexpected_status(const char* expected_name, PyObject* value, Site site) {
    raise_unexpected_type(expected_name, value);
    return fail_status(site);
}

}  // namespace velmora

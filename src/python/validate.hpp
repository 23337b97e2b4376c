// `_validate`, the module's private self-check, present only in builds with
// assertions on (NDEBUG not defined): the tests call it after each step to
// check every invariant of an index or a view (see `validate_record`) and
// of the pool of counts.
#pragma once

#include <Python.h>

namespace corvane {

// Add `_validate` to `module` in a build with assertions on; nothing
// otherwise.  Throws `PyErrorSet` on failure.
void add_validate(PyObject* module);

}  // namespace corvane

// Test builds only: a module function that arms a one-shot failure in the parallel map.
#pragma once

#include <Python.h>

namespace zelk::py {

// The method-table entry of `_inject_fault(kind, after, own_threads=False)`.
PyMethodDef inject_fault_method();

}  // namespace zelk::py

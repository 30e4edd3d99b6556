// NumPy's C API table, shared by every file of the extension. Exactly one file (module.cpp)
// defines ZELK_IMPORT_NUMPY before including this, and calls import_array() at start-up.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL zelk_numpy_api
#ifndef ZELK_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

// The one include of the C API for the boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

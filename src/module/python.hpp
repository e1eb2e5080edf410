#pragma once
// The one place that includes Python.h: the stable ABI of Python 3.12.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030C0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The methods and attributes of a memoized function besides calling it:
// key(), invalidate(), copy and pickle support, `cache` and `__dict__`
// (memo_methods.cpp).
#pragma once

#include <Python.h>

namespace pelm {

extern PyMethodDef memo_methods[];
extern PyGetSetDef memo_getset[];

}  // namespace pelm

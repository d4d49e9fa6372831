// Objects the Python -> JSON conversion looks up once per interpreter and
// keeps (py/per_interpreter.hpp): the abstract base classes
// collections.abc.Sequence and Mapping (imported on first need, since
// importing at module load would slow every import of the module) and the
// interned attribute names it reads from dataclass instances.
//
// All results are borrowed and live until the calling interpreter ends. A
// null result means the lookup failed and left a Python error set; the next
// call retries.
// Hazard: the first import runs the import machinery, which can release the
// interpreter lock, so two threads may race to fill the cache; the loser's
// objects are dropped and both see the same stored ones.
#pragma once

#include <Python.h>

namespace pelm {

[[nodiscard]] PyObject* sequence_abc();
[[nodiscard]] PyObject* mapping_abc();

// Interned "__dataclass_fields__".
[[nodiscard]] PyObject* dataclass_fields_name();
// Interned "__dict__".
[[nodiscard]] PyObject* instance_dict_name();

}  // namespace pelm

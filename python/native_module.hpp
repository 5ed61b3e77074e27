// verdalix._native: the private submodule behind the package's pure-Python
// parts (storage codecs, command line). Not public surface: its functions may
// change with the package; callers outside verdalix use the public names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vdx::python {

// Creates verdalix._native, registers it in sys.modules and as the
// attribute `_native` of `package`. False with an error set on failure.
bool add_native_submodule(PyObject* package);

// The functions of the submodule, one definition each in their own files.
extern PyMethodDef read_header_def;
extern PyMethodDef encode_def;
extern PyMethodDef decode_def;
extern PyMethodDef rebuild_options_def;
extern PyMethodDef fit_def;
extern PyMethodDef encode_chunk_def;
extern PyMethodDef decode_chunk_def;
extern PyMethodDef describe_chunk_def;
extern PyMethodDef frame_tables_def;

}  // namespace vdx::python

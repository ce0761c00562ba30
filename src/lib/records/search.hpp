// complete() and suggest() of the package: ranked completions and "did you
// mean" suggestions over an index, and their result type Completion.
#pragma once

#include "lib/errors.hpp"

namespace quorvatel::py {

/// Creates the result type (once per process) and adds it to `module` as
/// "Completion".
[[nodiscard]] PyResult<void> add_completion_type(PyObject* module);

PyObject* complete_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* suggest_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

inline constexpr const char* kCompleteDoc =
    "complete(index, text, *, limit=10, max_dist='auto', prefix_length=0, transpositions=True)\n--\n\n"
    "The stored terms with a prefix within max_dist edits of text, best first.";
inline constexpr const char* kSuggestDoc =
    "suggest(index, term, *, limit=10, max_dist='auto', prefix_length=0, transpositions=True)\n--\n\n"
    "The stored terms within max_dist edits of term, best first.";

}  // namespace quorvatel::py

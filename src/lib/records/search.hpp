// complete() and suggest() of the package: ranked completions and "did you
// mean" suggestions over an index, and their result type Completion.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lib/errors.hpp"
#include "lib/index_access.hpp"
#include "prefix/complete/search.hpp"

namespace quorvatel::py {

/// Creates the result type (once per process) and adds it to `module` as
/// "Completion".
[[nodiscard]] PyResult<void> add_completion_type(PyObject* module);

/// A text argument (`name` names it in errors) as code points: a str of at
/// most complete::kMaxTextLength of them. Lone surrogates are code points like
/// any other (no stored label is one).
[[nodiscard]] PyResult<std::u32string> search_text(PyObject* object, std::string_view name);
/// complete()'s keyword arguments (null when omitted) into `request`, its
/// defaults for the omitted ones.
[[nodiscard]] PyResult<void> search_options(PyObject* limit, PyObject* max_dist, PyObject* prefix_length,
                                            PyObject* transpositions, complete::Request& request);
/// ValueError when the index is one these searches refuse.
[[nodiscard]] PyResult<void> check_searchable(const IndexHold& index);
/// [Completion(term, count, distance), ...]
[[nodiscard]] Ref completion_rows(const std::vector<complete::Completion>& found);

PyObject* complete_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* suggest_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

inline constexpr const char* kCompleteDoc =
    "complete(index, text, *, limit=10, max_dist='auto', prefix_length=0, transpositions=True)\n--\n\n"
    "The stored terms with a prefix within max_dist edits of text, best first.";
inline constexpr const char* kSuggestDoc =
    "suggest(index, term, *, limit=10, max_dist='auto', prefix_length=0, transpositions=True)\n--\n\n"
    "The stored terms within max_dist edits of term, best first.";

}  // namespace quorvatel::py

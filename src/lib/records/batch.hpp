// The package's batch queries: fuzzy_match_many, fuzzy_match_video_many and
// complete_many. Each converts its arguments to plain values with the
// interpreter lock held, runs the items without it (on the calling thread for
// a short batch, else on a pool of threads), and builds the list of per-item
// results with the lock held again. Each item's result is the one the
// one-by-one call gives.
#pragma once

#include "lib/python.hpp"

namespace quorvatel::py {

PyObject* fuzzy_match_many_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* fuzzy_match_video_many_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                          PyObject* kwnames);
PyObject* complete_many_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

inline constexpr const char* kFuzzyMatchManyDoc =
    "fuzzy_match_many(index, terms, *, max_dist=1, limit=None, workers=None)\n--\n\n"
    "[index.fuzzy_match(term, max_dist, limit) for term in terms], computed without the\n"
    "interpreter lock on `workers` threads (None: one per core).";
inline constexpr const char* kFuzzyMatchVideoManyDoc =
    "fuzzy_match_video_many(index, terms, *, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None, "
    "workers=None)\n--\n\n"
    "[index.fuzzy_match_video(term, ...) for term in terms], computed without the\n"
    "interpreter lock on `workers` threads (None: one per core).";
inline constexpr const char* kCompleteManyDoc =
    "complete_many(index, texts, *, limit=10, max_dist='auto', prefix_length=0, transpositions=True, "
    "workers=None)\n--\n\n"
    "[complete(index, text, ...) for text in texts], computed without the interpreter\n"
    "lock on `workers` threads (None: one per core).";

}  // namespace quorvatel::py

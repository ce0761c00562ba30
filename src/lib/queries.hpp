// The query methods that every index class shares (PrefixSearch, and the
// package's MappedIndex): fuzzy_match, fuzzy_match_video and to_bytes. Each
// class names its signature and how to find the trie of `self`; binding,
// conversion, the walk and the results are the same code for both.
#pragma once

#include <string_view>

#include "lib/binding.hpp"
#include "lib/errors.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::py {

/// The trie of `self`, or TypeError when `self` is not of the class. The
/// view stays valid while `self` lives (the call holds a reference to it).
using ViewOf = PyResult<TrieView> (*)(PyObject* self);

/// The signatures of the query methods of the class named `class_name`.
struct QuerySignatures {
  Signature match;
  Signature video;
};
inline constexpr std::array<std::string_view, 3> kMatchParams{"term", "max_dist", "limit"};
inline constexpr std::array<std::string_view, 5> kVideoParams{"term", "max_dist", "limit", "include_prefix_nodes",
                                                              "min_score"};
inline constexpr const char* kFuzzyMatchDoc = "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n";
inline constexpr const char* kFuzzyMatchVideoDoc =
    "fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)\n--\n\n";
inline constexpr const char* kToBytesDoc = "to_bytes($self)\n--\n\n";

/// The options of fuzzy_match from their arguments (null when not given):
/// max_dist (default 1) and limit.
[[nodiscard]] PyResult<WalkOptions> match_options(PyObject* max_dist, PyObject* limit);
/// The options of fuzzy_match_video from their arguments (null when not
/// given): max_dist (default 1), limit, include_prefix_nodes and min_score.
[[nodiscard]] PyResult<VideoQuery> video_options(PyObject* max_dist, PyObject* limit, PyObject* include_prefix_nodes,
                                                 PyObject* min_score);

/// fuzzy_match(term, max_dist=1, limit=None) on the trie of `self`.
[[nodiscard]] PyResult<Ref> fuzzy_match_call(const Signature& signature, ViewOf view_of, PyObject* self,
                                             PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
/// fuzzy_match_video(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None).
[[nodiscard]] PyResult<Ref> fuzzy_match_video_call(const Signature& signature, ViewOf view_of, PyObject* self,
                                                   PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
/// The snapshot of `trie` as a new bytes object (the operation of to_bytes()).
[[nodiscard]] PyResult<Ref> snapshot_bytes(const TrieView& trie);
/// to_bytes(): the snapshot of the trie of `self`.
[[nodiscard]] PyResult<Ref> to_bytes_call(ViewOf view_of, PyObject* self);

}  // namespace quorvatel::py

// Search as you type: ranked completions of a typed text and "did you mean"
// suggestions for a whole term, over a trie with its subtree bounds.
//
// complete: the stored terms that have a prefix within max_dist edits of the
//   text; a term's distance is the smallest distance of such a prefix (the
//   empty prefix included).
// suggest: the stored terms within max_dist edits of the whole text.
//
// Both rank by distance, then by the term's own count (largest first), then
// by the term's text, code point by code point, and return at most `limit`.
//
// Typo policy: max_dist (or "auto": 0 edits for texts of 0 to 2 code points,
// 1 for 3 to 5, 2 from 6); the first min(prefix_length, text length) code
// points of a result equal the text's; with transpositions a swap of two
// adjacent characters is one edit (optimal string alignment), without them
// the distance is Levenshtein's.
//
// The search is best-first: a priority queue of subtrees ordered by a lower
// bound of their distance, an upper bound of their counts and their text, so
// that no subtree is expanded unless one of its terms could still be among
// the first `limit`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "core/result.hpp"
#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::complete {

/// The longest text a search takes, in code points: a search box's text,
/// with room to spare. Bounds the working memory of a row.
inline constexpr std::size_t kMaxTextLength = 128;

enum class Mode : std::uint8_t {
  Complete,  ///< terms with a prefix within max_dist of the text
  Suggest,   ///< terms within max_dist of the whole text
};

struct TypoPolicy {
  /// Edits allowed; nullopt for the automatic rule (auto_max_dist).
  std::optional<std::uint32_t> max_dist;
  /// Leading code points of a result that must equal the text's.
  std::uint64_t prefix_length = 0;
  /// Whether swapping two adjacent characters counts as one edit.
  bool transpositions = true;
};

/// Edits the automatic rule allows for a text of `length` code points.
[[nodiscard]] constexpr std::uint32_t auto_max_dist(std::size_t length) noexcept {
  return length <= 2 ? 0 : length <= 5 ? 1 : 2;
}

struct Request {
  Mode mode = Mode::Complete;
  std::u32string_view text;
  std::uint64_t limit = 10;
  TypoPolicy policy;
  /// Polled now and then; may be null.
  CancelHook* cancel = nullptr;
};

/// One result.
struct Completion {
  std::string term;        ///< UTF-8
  std::uint32_t count;     ///< the term's own count
  std::uint32_t distance;  ///< as the mode defines it
  std::size_t node;        ///< the term's node

  friend bool operator==(const Completion&, const Completion&) = default;
};

/// The results of `request` on `trie`, whose subtree bounds are `bounds`.
/// Errors: a text longer than kMaxTextLength, or bounds that refuse the trie
/// (ErrorKind::Value).
[[nodiscard]] Result<std::vector<Completion>> search(const TrieView& trie, const SubtreeBoundsView& bounds,
                                                     const Request& request);
[[nodiscard]] inline Result<std::vector<Completion>> search(const Trie& trie, const SubtreeBounds& bounds,
                                                            const Request& request) {
  return search(TrieView(trie), bounds.view(), request);
}

}  // namespace quorvatel::complete

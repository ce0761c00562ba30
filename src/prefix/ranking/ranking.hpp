// Video ranking: scores the videos of the nodes that match a term, weighted
// by each node's distance and terminal flag, normalised by the weighted total
// count of the scored nodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cancel.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel {

inline constexpr double kExactWeight = 1.0;
inline constexpr double kFuzzyFactor = 0.05;
inline constexpr double kNonTerminalFactor = 0.85;
inline constexpr double kDefaultMinScore = 0.01;

struct VideoQuery {
  std::uint32_t max_dist = 1;
  std::optional<std::uint64_t> limit;
  /// nullopt: terminal nodes, or every matching node when no terminal one matched.
  std::optional<bool> include_prefix_nodes;
  std::optional<double> min_score;
  /// Polled by the node searches; may be null.
  CancelHook* cancel = nullptr;
};

struct VideoScore {
  std::string id;  ///< UUID text or the decimal id
  double score;

  friend bool operator==(const VideoScore&, const VideoScore&) = default;
};

/// Weight of a node at `distance` from a term of `term_length` code points,
/// before the non-terminal factor; 0.0 or less means the node is not scored.
[[nodiscard]] double distance_weight(std::uint32_t distance, std::size_t term_length) noexcept;

/// Videos for `term`, best score first. Equal scores are ordered by video
/// row, smallest first.
[[nodiscard]] std::vector<VideoScore> fuzzy_match_video(const TrieView& trie, std::u32string_view term,
                                                        const VideoQuery& query);
[[nodiscard]] inline std::vector<VideoScore> fuzzy_match_video(const Trie& trie, std::u32string_view term,
                                                               const VideoQuery& query) {
  return fuzzy_match_video(TrieView(trie), term, query);
}

/// 36-character lowercase hyphenated text of the 16 bytes in stored order.
[[nodiscard]] std::string uuid_text(const VideoUuid& id);

}  // namespace quorvatel

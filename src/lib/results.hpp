// Conversion of operation results into new host objects. Lists are created at
// their final length and filled in row order; a failure to create any object
// is an internal fault ("Python API call failed").
#pragma once

#include <span>
#include <vector>

#include "lib/ref.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"

namespace quorvatel::py {

/// [(text, terminal flag, distance), ...]
[[nodiscard]] Ref term_rows(const TrieView& trie, std::span<const MatchResult> matches);
/// [(id text, score), ...]
[[nodiscard]] Ref video_rows(std::span<const VideoScore> videos);

}  // namespace quorvatel::py

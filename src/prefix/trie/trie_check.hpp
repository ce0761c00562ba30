// Whether a trie is one that a build can produce: a tree rooted at node 0,
// parents numbered before their children, one payload per node with equal id
// and count lists, video rows inside the table of the trie's id mode. A
// snapshot is only decoded, never checked, when it is loaded; a trie that
// passes this check is one on which every query is bounded and well-defined.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "prefix/trie/trie.hpp"

namespace quorvatel {

/// The first broken rule, described, or nullopt when the trie keeps them all.
[[nodiscard]] std::optional<std::string> find_inconsistency(const Trie& trie);

/// Number of nodes whose terminal flag is set.
[[nodiscard]] std::size_t terminal_count(const Trie& trie) noexcept;

}  // namespace quorvatel

// The read-only view through which every query reads a trie: spans over its
// arrays, whoever owns the memory behind them.
//
// A view of a trie in walk form (a proven tree, see layout.hpp) carries the
// layout's edge labels and no per-node labels; the walk then reads its
// arrays without per-step checks, every index having been proved in range
// when the layout was derived. A view of plain arrays carries the per-node
// labels, and every read through it is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>

#include "core/fault.hpp"
#include "payload/payload.hpp"
#include "prefix/trie/layout.hpp"
#include "prefix/trie/trie.hpp"

namespace quorvatel {

struct TrieView {
  TrieView() = default;
  explicit TrieView(const Trie& trie) noexcept;

  std::size_t nodes = 0;
  std::span<const std::uint32_t> node_shifts;
  std::span<const char32_t> child_labels;  ///< plain form only
  std::span<const std::uint32_t> child_transitions;
  std::span<const std::uint8_t> terminal_flags;
  PayloadTableView payloads;
  std::span<const VideoUuid> video_uuids;
  std::span<const std::uint32_t> video_int_ids;
  IdMode id_mode = IdMode::Uuid;

  /// Walk form: a tree rooted at node 0, every per-node span of length
  /// `nodes`, n - 1 edges. The spans below are set only then.
  bool tree = false;
  std::span<const std::uint16_t> edge_labels;  ///< per edge, then kEdgeLabelBlock zeros
  std::span<const WideLabel> wide_labels;
  std::span<const std::uint8_t> edge_heights;
  char32_t root_label = 0;  ///< the root's label, which no edge carries (walk form)

  [[nodiscard]] std::size_t node_count() const noexcept { return nodes; }

  /// Checked reads, in either form.
  [[nodiscard]] EdgeRange edge_range(std::size_t node,
                                     std::source_location where = std::source_location::current()) const {
    const std::size_t begin = checked_at(node_shifts, node, where);
    const std::size_t end = node + 1 < node_shifts.size() ? node_shifts[node + 1] : child_transitions.size();
    return {begin, end};
  }
  [[nodiscard]] bool terminal(std::size_t node, std::source_location where = std::source_location::current()) const {
    return checked_at(terminal_flags, node, where) != 0;
  }
  [[nodiscard]] std::optional<PayloadView> payload(
      std::size_t node, std::source_location where = std::source_location::current()) const {
    return payloads.get(node, where);
  }

  /// Walk form only: edge `e` must be an edge of the tree.
  [[nodiscard]] char32_t edge_label(std::size_t e) const noexcept {
    return quorvatel::edge_label(edge_labels, wide_labels, e);
  }
};

inline TrieView::TrieView(const Trie& trie) noexcept
    : nodes(trie.node_count()),
      node_shifts(trie.node_shifts),
      child_labels(trie.child_labels),
      child_transitions(trie.child_transitions),
      terminal_flags(trie.terminal_flags),
      payloads(trie.payloads.view()),
      video_uuids(trie.video_uuids),
      video_int_ids(trie.video_int_ids),
      id_mode(trie.id_mode) {
  if (trie.layout) {
    tree = true;
    edge_labels = trie.layout->edge_labels;
    wide_labels = trie.layout->wide_labels;
    edge_heights = trie.layout->edge_heights;
    root_label = trie.layout->root_label;
  }
}

}  // namespace quorvatel

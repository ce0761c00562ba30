#include "prefix/trie/layout.hpp"

#include <algorithm>

namespace quorvatel {

std::optional<TreeLayout> derive_tree_layout(const TreeArrays& arrays) {
  const std::span<const std::uint32_t> shifts = arrays.node_shifts;
  const std::span<const char32_t> labels = arrays.child_labels;
  const std::span<const std::uint32_t> kids = arrays.child_transitions;
  const std::size_t n = labels.size();
  const std::size_t m = kids.size();
  // Every node but the root entered once: exactly n - 1 edges.
  if (n == 0 || shifts.size() != n || arrays.payload_slots != n || arrays.terminal_flags != n || m != n - 1)
    return std::nullopt;
  if (shifts[0] != 0 || shifts[n - 1] > m)
    return std::nullopt;
  for (std::size_t i = 1; i < n; ++i)
    if (shifts[i] < shifts[i - 1])
      return std::nullopt;

  TreeLayout layout;
  layout.root_label = labels[0];
  layout.edge_labels.assign(m + kEdgeLabelBlock, 0);
  layout.edge_heights.resize(m);
  std::vector<std::uint8_t> height(n);  // per node, once its children are done
  std::vector<std::uint64_t> entered((n + 63) / 64);
  // The ranges start at 0, never decrease and end at m, so they cover the
  // edges in order and each edge belongs to the node whose range holds it.
  // Nodes are taken from the last down, so that a child (numbered after its
  // parent, which is checked before its height is read) is done before it.
  for (std::size_t i = n; i-- > 0;) {
    const std::size_t begin = shifts[i];
    const std::size_t end = i + 1 < n ? shifts[i + 1] : m;
    unsigned h = 0;
    for (std::size_t e = end; e-- > begin;) {
      const std::size_t c = kids[e];
      if (c >= n || c <= i)
        return std::nullopt;
      const std::uint64_t bit = std::uint64_t{1} << (c % 64);
      if ((entered[c / 64] & bit) != 0)
        return std::nullopt;
      entered[c / 64] |= bit;
      const char32_t x = labels[c];
      if (x < kWideLabelEscape) {
        layout.edge_labels[e] = static_cast<std::uint16_t>(x);
      } else {
        layout.edge_labels[e] = kWideLabelEscape;
        layout.wide_labels.push_back({static_cast<std::uint32_t>(e), x});
      }
      layout.edge_heights[e] = height[c];
      h = std::max(h, height[c] + 1u);
    }
    height[i] = static_cast<std::uint8_t>(std::min<unsigned>(h, kHeightMax));
  }
  // n - 1 distinct children, each in 1..n-1: every node but the root is
  // entered exactly once, and following parents from any node (each
  // numbered below its child) ends at the root.
  std::ranges::reverse(layout.wide_labels);  // found from the last edge down
  layout.wide_labels.shrink_to_fit();
  return layout;
}

char32_t edge_label(std::span<const std::uint16_t> edge_labels, std::span<const WideLabel> wide,
                    std::size_t e) noexcept {
  const std::uint16_t x = edge_labels[e];
  if (x != kWideLabelEscape) [[likely]]
    return x;
  const auto it = std::ranges::lower_bound(wide, e, {}, &WideLabel::edge);
  return it->label;  // every escaped edge has its entry
}

std::vector<char32_t> node_labels(const TreeLayout& layout, std::span<const std::uint32_t> child_transitions) {
  return node_labels(layout.root_label, layout.edge_labels, layout.wide_labels, child_transitions);
}

std::vector<char32_t> node_labels(char32_t root_label, std::span<const std::uint16_t> edge_labels,
                                  std::span<const WideLabel> wide_labels,
                                  std::span<const std::uint32_t> child_transitions) {
  std::vector<char32_t> out(child_transitions.size() + 1);
  out[0] = root_label;
  for (std::size_t e = 0; e < child_transitions.size(); ++e)
    out[child_transitions[e]] = edge_labels[e];
  for (const WideLabel& w : wide_labels)
    out[child_transitions[w.edge]] = w.label;
  return out;
}

}  // namespace quorvatel

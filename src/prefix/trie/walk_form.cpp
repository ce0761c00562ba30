// A trie's two forms: the plain arrays, and the walk form of a tree (see
// Trie and derive_tree_layout).
#include <utility>

#include "prefix/trie/trie.hpp"

namespace quorvatel {

void Trie::derive_layout() {
  if (layout)
    return;
  std::optional<TreeLayout> derived = derive_tree_layout(
      {node_shifts, child_labels, child_transitions, payloads.size(), terminal_flags.size()});
  if (!derived)
    return;
  layout = std::move(derived);
  std::vector<char32_t>().swap(child_labels);
}

void Trie::drop_layout() {
  if (!layout)
    return;
  child_labels = node_labels(*layout, child_transitions);
  layout.reset();
}

std::vector<char32_t> Trie::labels() const {
  return layout ? node_labels(*layout, child_transitions) : child_labels;
}

bool operator==(const Trie& a, const Trie& b) {
  if (!(a.node_shifts == b.node_shifts && a.child_transitions == b.child_transitions && a.payloads == b.payloads &&
        a.video_uuids == b.video_uuids && a.video_int_ids == b.video_int_ids && a.id_mode == b.id_mode &&
        a.terminal_flags == b.terminal_flags))
    return false;
  if (!a.layout && !b.layout)
    return a.child_labels == b.child_labels;
  if (a.layout && b.layout)
    return *a.layout == *b.layout;  // derived from equal arrays
  return a.labels() == b.labels();
}

}  // namespace quorvatel

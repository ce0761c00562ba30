// Builds a tree from the input (any shape, numbering, sibling order and
// labels of every width) and a query near its paths; the walk over its walk
// form must give the reference walk's hits, and every query the same results
// as on the tree's plain arrays.
#include "fuzz_support.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "random_tree.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvatel;
  fuzz::Input in(data, size);
  auto pick = [&in](std::size_t n) -> std::size_t {
    if (n <= 1)
      return 0;
    return n <= 256 ? in.byte() % n : in.u32() % n;
  };
  const auto shape = testing::random_shape(pick, 1 + std::size_t{in.byte()} * 2);
  const auto numbering = static_cast<testing::Numbering>(in.byte() % 3);
  const Trie tree = testing::shape_trie(shape, numbering, pick);
  if (!tree.layout)
    fuzz::fail("a tree did not take the walk form");
  Trie plain = tree;
  plain.drop_layout();
  if (snapshot::encode(tree) != snapshot::encode(plain))
    fuzz::fail("the walk form writes other bytes than its plain arrays");

  for (int round = in.byte() % 4; round >= 0 && !in.empty(); --round) {
    const std::u32string term = testing::shape_query(shape, pick);
    const std::uint32_t max_dist = in.byte() % 6;
    std::optional<std::uint64_t> limit;
    if (const std::uint8_t l = in.byte(); l >= 240)
      limit = l - 240u;
    const WalkOptions options{max_dist, limit, nullptr};
    const auto terms = fuzzy_match(tree, term, options);
    if (terms != testing::reference_fuzzy_match(plain, term, max_dist, limit))
      fuzz::fail("fuzzy_match on the walk form differs from the reference walk");
    if (terms != fuzzy_match(plain, term, options))
      fuzz::fail("fuzzy_match differs between the two forms");
    for (const bool terminal_only : {true, false}) {
      const auto nodes = fuzzy_match_nodes(tree, term, options, terminal_only);
      if (nodes != testing::reference_fuzzy_match_nodes(plain, term, max_dist, terminal_only, limit))
        fuzz::fail("fuzzy_match_nodes on the walk form differs from the reference walk");
    }
    if (fuzzy_match_nodes_terminal_first(tree, term, options) !=
        fuzzy_match_nodes_terminal_first(plain, term, options))
      fuzz::fail("the terminal-first search differs between the two forms");
    for (const std::optional<bool> prefix : {std::optional<bool>(), std::optional<bool>(true)}) {
      const VideoQuery video{max_dist, limit, prefix, 0.0, nullptr};
      if (fuzzy_match_video(tree, term, video) != fuzzy_match_video(plain, term, video))
        fuzz::fail("fuzzy_match_video differs between the two forms");
    }
  }
  return 0;
}

// The walk form of a tree: which tries take it, that it changes no byte of a
// snapshot, and that every walk over it gives the reference walk's hits.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "prefix/matcher/bit_walk.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "random_trie.hpp"
#include "random_tree.hpp"
#include "reference_walk.hpp"
#include "test_support.hpp"

namespace quorvatel {

inline void PrintTo(const MatchResult& m, std::ostream* os) {
  *os << "(" << m.text << ", node " << m.node << ", d " << m.distance << ")";
}
inline void PrintTo(const NodeMatch& m, std::ostream* os) { *os << "(node " << m.node << ", d " << m.distance << ")"; }

namespace {

using testing::EnginePick;
using testing::Numbering;

Trie plain(Trie t) {
  t.drop_layout();
  return t;
}

// ------------------------------------------------------------ the tree test

/// One way to break a tree; each must leave the trie in its plain arrays.
struct Breakage {
  const char* name;
  std::function<void(Trie&)> apply;
};

class TreeTest : public ::testing::TestWithParam<Breakage> {};

/// Root -> 1 ("a") -> 2 ("b"), root -> 3 ("c"), in pre-order.
Trie small_tree() {
  auto built = build_trie({0, 2, 3, 3}, {0, U'a', U'b', U'c'},
                          {std::nullopt, testing::payload(1, {}, {}), testing::payload(1, {}, {}), std::nullopt},
                          {1, 3, 2}, {}, 1);
  return std::move(*built);
}

TEST_P(TreeTest, BrokenTreesKeepTheirPlainArrays) {
  Trie t = plain(small_tree());
  t.derive_layout();
  ASSERT_TRUE(t.layout);  // the unbroken tree takes the walk form
  t.drop_layout();
  GetParam().apply(t);
  t.derive_layout();
  EXPECT_FALSE(t.layout) << GetParam().name;
}

const Breakage kBreakages[] = {
    {"no nodes", [](Trie& trie) { trie = Trie{}; }},
    {"node_shifts short", [](Trie& trie) { trie.node_shifts.pop_back(); }},
    {"labels long", [](Trie& trie) { trie.child_labels.push_back(U'x'); }},
    {"payloads short",
     [](Trie& trie) {
       PayloadTable p;
       for (int i = 0; i < 3; ++i)
         p.push(testing::payload(0, {}, {}));
       trie.payloads = std::move(p);
     }},
    {"flags short", [](Trie& trie) { trie.terminal_flags.pop_back(); }},
    {"root range not at 0", [](Trie& trie) { trie.node_shifts[0] = 1; }},
    {"ranges decrease", [](Trie& trie) { trie.node_shifts = {0, 2, 1, 3}; }},
    {"last range past the edges", [](Trie& trie) { trie.node_shifts[3] = 4; }},
    {"edge to itself", [](Trie& trie) { trie.child_transitions[2] = 1; }},
    {"root edge to the root", [](Trie& trie) { trie.child_transitions[0] = 0; }},
    {"only edge to a node from itself", [](Trie& trie) { trie.child_transitions = {2, 3, 1}; }},
    {"edge to an earlier node",
     [](Trie& trie) {
       trie.node_shifts = {0, 1, 3, 3};
       trie.child_transitions = {1, 2, 0};
     }},
    {"edge past the nodes", [](Trie& trie) { trie.child_transitions[1] = 4; }},
    {"node entered twice", [](Trie& trie) { trie.child_transitions[1] = 2; }},
    {"edges missing",
     [](Trie& trie) {
       trie.child_transitions.pop_back();
       trie.node_shifts = {0, 2, 2, 2};
     }},
    {"an edge too many", [](Trie& trie) { trie.child_transitions.push_back(3); }},
};

std::string breakage_name(const ::testing::TestParamInfo<Breakage>& param) {
  std::string name = param.param.name;
  std::ranges::replace(name, ' ', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Breakages, TreeTest, ::testing::ValuesIn(kBreakages), breakage_name);

TEST(WalkForm, EveryNumberingOfATreeTakesIt) {
  std::mt19937 rng(3);
  const EnginePick pick{rng};
  for (int round = 0; round < 300; ++round) {
    const auto shape = testing::random_shape(pick, 200);
    for (const Numbering numbering : {Numbering::BreadthFirst, Numbering::PreOrder, Numbering::ParentsFirst}) {
      const Trie t = testing::shape_trie(shape, numbering, pick);
      ASSERT_TRUE(t.layout) << round;
      EXPECT_TRUE(t.child_labels.empty());
      EXPECT_EQ(t.node_count(), shape.size());
    }
  }
}

// ------------------------------------------------------------ snapshots

/// Both forms write the same bytes, and a snapshot of a tree loads into the
/// walk form with the same contents.
TEST(WalkForm, SnapshotsAreByteForByteThoseOfThePlainArrays) {
  std::mt19937 rng(5);
  const EnginePick pick{rng};
  for (int round = 0; round < 300; ++round) {
    const auto shape = testing::random_shape(pick, 150);
    const auto arrays = testing::shape_arrays(shape, static_cast<Numbering>(round % 3), pick);
    const Trie t = testing::flat_tree_trie(arrays);
    const Trie p = plain(t);
    ASSERT_TRUE(t.layout);
    ASSERT_FALSE(p.layout);
    EXPECT_EQ(p.child_labels, arrays.child_labels) << round;
    EXPECT_EQ(t.labels(), arrays.child_labels) << round;
    const auto bytes = snapshot::encode(p);
    EXPECT_EQ(snapshot::encode(t), bytes) << round;
    EXPECT_EQ(snapshot::encoded_size(t), bytes.size()) << round;
    // A label that is no Unicode scalar value is written as U+FFFD.
    Trie expected = p;
    for (char32_t& c : expected.child_labels)
      if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        c = 0xFFFD;
    const auto back = snapshot::decode(bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->layout);
    EXPECT_EQ(*back, expected);
    EXPECT_EQ(back->labels(), expected.child_labels);
    EXPECT_EQ(snapshot::encode(*back), bytes);
  }
}

// ------------------------------------------------------------ the walks

/// Every query on the walk form `t` gives the reference walk's hits, and
/// the same as on the plain arrays `p` (today's checked walk).
void expect_same_walks(const Trie& t, const Trie& p, std::u32string_view q, std::uint32_t d,
                       std::optional<std::uint64_t> limit) {
  const WalkOptions options{d, limit};
  const auto terms = fuzzy_match(t, q, options);
  EXPECT_EQ(terms, testing::reference_fuzzy_match(p, q, d, limit));
  EXPECT_EQ(terms, fuzzy_match(p, q, options));
  for (const bool terminal_only : {true, false}) {
    const auto nodes = fuzzy_match_nodes(t, q, options, terminal_only);
    EXPECT_EQ(nodes, testing::reference_fuzzy_match_nodes(p, q, d, terminal_only, limit));
    EXPECT_EQ(nodes, fuzzy_match_nodes(p, q, options, terminal_only));
  }
  EXPECT_EQ(fuzzy_match_nodes_terminal_first(t, q, options), fuzzy_match_nodes_terminal_first(p, q, options));
  for (const std::optional<bool> prefix :
       {std::optional<bool>(), std::optional<bool>(true), std::optional<bool>(false)}) {
    const VideoQuery video{d, limit, prefix, 0.0, nullptr};
    EXPECT_EQ(fuzzy_match_video(t, q, video), fuzzy_match_video(p, q, video));
  }
}

TEST(WalkFormDifferential, RandomTreesMatchTheReferenceAndThePlainWalk) {
  std::mt19937 rng(20261209);
  const EnginePick pick{rng};
  for (int round = 0; round < 400; ++round) {
    const auto shape = testing::random_shape(pick, 300);
    const Trie t = testing::shape_trie(shape, static_cast<Numbering>(round % 3), pick);
    ASSERT_TRUE(t.layout);
    const Trie p = plain(t);
    for (int q = 0; q < 8; ++q) {
      const std::u32string term = testing::shape_query(shape, pick);
      const auto d = static_cast<std::uint32_t>(pick(q % 4 == 3 ? 7 : 4));
      std::optional<std::uint64_t> limit;
      if (pick(3) == 0)
        limit = pick(5);
      SCOPED_TRACE(::testing::Message() << "round " << round << " query " << q << " len " << term.size() << " d "
                                        << d);
      expect_same_walks(t, p, term, d, limit);
    }
  }
}

/// Huge max_dist on trees: past the 16-bit range, bounded, still exact.
TEST(WalkFormDifferential, HugeMaxDistOnRandomTrees) {
  std::mt19937 rng(43);
  const EnginePick pick{rng};
  for (int round = 0; round < 60; ++round) {
    const auto shape = testing::random_shape(pick, 120);
    const Trie t = testing::shape_trie(shape, static_cast<Numbering>(round % 3), pick);
    const Trie p = plain(t);
    const std::u32string term = testing::shape_query(shape, pick, 20);
    SCOPED_TRACE(::testing::Message() << "round " << round << " len " << term.size());
    expect_same_walks(t, p, term, 70000, std::nullopt);
    for (const std::uint32_t d : {65533u, 65534u, 0xFFFFFFFFu}) {
      EXPECT_EQ(fuzzy_match(t, term, {d, {}}), fuzzy_match(p, term, {d, {}}));
      EXPECT_EQ(fuzzy_match(t, term, {d, {}}), fuzzy_match(t, term, {70000, {}}));
    }
  }
}

/// Each part of the bit walk on its own (every child's row computed
/// directly, or through the shared row and the label filter; heights on
/// and off) gives the reference walk's node hits.
TEST(WalkFormDifferential, EveryBitWalkVariantMatchesTheReference) {
  std::mt19937 rng(17);
  const EnginePick pick{rng};
  const matcher::BitWalkTuning tunings[] = {
      {0, false, false}, {0, true, true}, {1, true, false}, {2, true, true}, {1000, false, true}, {1000, true, false}};
  for (int round = 0; round < 300; ++round) {
    const auto shape = testing::random_shape(pick, 300);
    const Trie t = testing::shape_trie(shape, static_cast<Numbering>(round % 3), pick);
    const TrieView view(t);
    for (int q = 0; q < 6; ++q) {
      std::u32string term = testing::shape_query(shape, pick, matcher::kBitRowsMaxTerm);
      term.resize(std::min(term.size(), matcher::kBitRowsMaxTerm));
      const std::size_t d = pick(matcher::kBitRowsMaxDist + 1);
      const auto expected = testing::reference_fuzzy_match_nodes(t, term, static_cast<std::uint32_t>(d), false);
      for (const auto& tuning : tunings) {
        std::vector<NodeMatch> got;
        auto on_hit = [&](std::size_t c, std::uint32_t distance, char32_t, const std::vector<char32_t>&) {
          got.push_back({c, distance});
          return false;
        };
        switch (d) {
          case 0:
            matcher::bit_walk<0, false>(view, term, nullptr, tuning, on_hit);
            break;
          case 1:
            matcher::bit_walk<1, false>(view, term, nullptr, tuning, on_hit);
            break;
          case 2:
            matcher::bit_walk<2, false>(view, term, nullptr, tuning, on_hit);
            break;
          default:
            matcher::bit_walk<3, false>(view, term, nullptr, tuning, on_hit);
            break;
        }
        EXPECT_EQ(got, expected) << "round " << round << " d " << d << " direct " << tuning.direct_children
                                 << " heights " << tuning.use_heights;
      }
    }
  }
}

/// A spine of `length` labels with short branches off it: deep enough for
/// terms around the lengths where the walks change kernels. `tip` is the
/// spine's last node.
testing::TreeShape spine_shape(std::mt19937& rng, std::size_t length, std::uint32_t& tip) {
  const EnginePick pick{rng};
  testing::TreeShape s;
  s.parent.push_back(0);
  s.label.push_back(0);
  s.terminal.push_back(0);
  tip = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const auto node = static_cast<std::uint32_t>(s.size());
    s.parent.push_back(tip);
    s.label.push_back(pick(2) != 0 ? U'a' : U'b');
    s.terminal.push_back(static_cast<std::uint8_t>(pick(3) == 0));
    tip = node;
    for (std::size_t b = pick(3); b > 0; --b) {  // a branch of one or two nodes
      s.parent.push_back(tip);
      s.label.push_back(testing::pick_label(pick));
      s.terminal.push_back(1);
      if (pick(2) != 0) {
        s.parent.push_back(static_cast<std::uint32_t>(s.size() - 1));
        s.label.push_back(testing::pick_label(pick));
        s.terminal.push_back(1);
      }
    }
  }
  return s;
}

TEST(WalkFormDifferential, TermsAroundTheBitRowLimit) {
  std::mt19937 rng(29);
  const EnginePick pick{rng};
  for (int round = 0; round < 40; ++round) {
    std::uint32_t tip = 0;
    const auto shape = spine_shape(rng, 80, tip);
    const Trie t = testing::shape_trie(shape, static_cast<Numbering>(round % 3), pick);
    const Trie p = plain(t);
    const std::u32string spine = shape.path(tip);
    for (const std::size_t length : {62u, 63u, 64u, 65u, 66u}) {
      std::u32string term = spine.substr(0, length);
      for (std::size_t e = pick(3); e > 0; --e)
        term[pick(term.size())] = testing::pick_label(pick);
      for (std::uint32_t d = 0; d <= 3; ++d) {
        SCOPED_TRACE(::testing::Message() << "round " << round << " len " << term.size() << " d " << d);
        expect_same_walks(t, p, term, d, std::nullopt);
      }
    }
  }
}

TEST(WalkFormDifferential, HundredThousandCodePointTerm) {
  std::mt19937 rng(31);
  const EnginePick pick{rng};
  const std::size_t length = 100000;
  std::uint32_t tip = 0;
  const auto shape = spine_shape(rng, length + 5, tip);
  const Trie t = testing::shape_trie(shape, Numbering::PreOrder, pick);
  ASSERT_TRUE(t.layout);
  const Trie p = plain(t);
  std::u32string term = shape.path(tip).substr(0, length);
  ASSERT_EQ(term.size(), length);
  term[length / 2] = U'z';
  term.erase(length / 3, 1);
  for (const std::uint32_t d : {0u, 1u, 2u, 3u, 5u}) {
    EXPECT_EQ(fuzzy_match(t, term, {d, {}}), fuzzy_match(p, term, {d, {}})) << d;
    const auto nodes = fuzzy_match_nodes(t, term, {d, {}}, false);
    EXPECT_EQ(nodes, fuzzy_match_nodes(p, term, {d, {}}, false)) << d;
    EXPECT_EQ(nodes.empty(), d < 2) << d;
  }
}

// ------------------------------------------------------------ tries that are no tree

/// Tries that are no tree keep the checked walk: same hits, or the same
/// fault, as the reference.
TEST(WalkFormDifferential, InconsistentTriesKeepTheCheckedWalk) {
  std::mt19937 rng(37);
  int plain_count = 0;
  for (int round = 0; round < 2000; ++round) {
    testing::RandomTrieOptions options;
    options.allow_back_edges = round % 2 == 0;
    options.max_nodes = 14;
    Trie t = testing::random_trie(rng, options);
    if (round % 3 == 0 && !t.layout && !t.child_transitions.empty())
      t.child_transitions[rng() % t.child_transitions.size()] += static_cast<std::uint32_t>(rng() % 3);
    if (round % 5 == 0 && !t.layout)
      t.terminal_flags.resize(rng() % (t.terminal_flags.size() + 1));
    const Trie snapshot = *snapshot::decode(snapshot::encode(t));
    if (snapshot.layout)
      continue;
    ++plain_count;
    const std::u32string term = testing::random_term(rng);
    const auto d = static_cast<std::uint32_t>(rng() % 3);
    auto outcome = [](auto&& f) -> std::string {
      try {
        std::string s;
        for (const auto& m : f())
          s += m.text + ":" + std::to_string(m.node) + ":" + std::to_string(m.distance) + ";";
        return s;
      } catch (const InternalFault& fault) {
        return fault.message();
      }
    };
    EXPECT_EQ(outcome([&] { return fuzzy_match(snapshot, term, {d, {}}); }),
              outcome([&] { return testing::reference_fuzzy_match(snapshot, term, d); }))
        << round;
  }
  EXPECT_GT(plain_count, 1000);
}

// ------------------------------------------------------------ video scores

/// fuzzy_match_video written the plain way: an ordered map of raw scores,
/// summed in node order and payload order, ranked by score then row.
std::vector<VideoScore> reference_video(const Trie& t, std::u32string_view term, const VideoQuery& q) {
  std::vector<NodeMatch> nodes;
  if (q.include_prefix_nodes)
    nodes = testing::reference_fuzzy_match_nodes(t, term, q.max_dist, !*q.include_prefix_nodes);
  else if (nodes = testing::reference_fuzzy_match_nodes(t, term, q.max_dist, true); nodes.empty())
    nodes = testing::reference_fuzzy_match_nodes(t, term, q.max_dist, false);
  double total = 0.0;
  std::map<std::uint32_t, double> raw;
  for (const NodeMatch& m : nodes) {
    double w = distance_weight(m.distance, term.size());
    if (w <= 0.0)
      continue;
    if (!t.terminal(m.node))
      w = w * kNonTerminalFactor;
    const auto p = t.payloads.get(m.node);
    if (!p)
      continue;
    total = total + static_cast<double>(p->count) * w;
    for (std::size_t i = 0; i < p->ids_len; ++i)
      raw[p->video_id(i)] = raw[p->video_id(i)] + static_cast<double>(p->video_count(i)) * w;
  }
  if (!(total > 0.0))
    return {};
  std::vector<std::pair<double, std::uint32_t>> ranked;
  for (const auto& [row, value] : raw)
    if (value / total >= q.min_score.value_or(kDefaultMinScore))
      ranked.emplace_back(value / total, row);
  std::ranges::sort(ranked, [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  if (q.limit && *q.limit < ranked.size())
    ranked.resize(static_cast<std::size_t>(*q.limit));
  std::vector<VideoScore> out;
  for (const auto& [score, row] : ranked)
    if (row < t.video_int_ids.size())
      out.push_back({std::to_string(t.video_int_ids[row]), score});
  return out;
}

/// Many videos per node (so the score table grows many times), rows past
/// the table, every include_prefix_nodes choice and limits.
TEST(VideoScores, MatchAPlainReference) {
  std::mt19937 rng(41);
  const EnginePick pick{rng};
  for (int round = 0; round < 150; ++round) {
    const auto shape = testing::random_shape(pick, 60);
    auto arrays = testing::shape_arrays(shape, static_cast<Numbering>(round % 3), pick);
    const std::size_t videos = 1 + pick(3000);
    for (auto& p : arrays.payloads) {
      if (!p)
        continue;
      p->video_ids.clear();
      p->video_counts.clear();
      for (std::size_t k = pick(pick(2) == 0 ? 400 : 8); k > 0; --k) {
        p->video_ids.push_back(static_cast<std::uint32_t>(pick(videos + 5)));
        p->video_counts.push_back(static_cast<std::uint32_t>(pick(1000)));
      }
    }
    ByteRows ids;
    for (std::size_t v = 0; v < videos; ++v) {
      for (int b = 0; b < 4; ++b)
        ids.push_byte(static_cast<std::uint8_t>((v * 7 + 1) >> (8 * b)));
      ids.end_row();
    }
    const auto t = build_trie(arrays.node_shifts, arrays.child_labels, arrays.payloads, arrays.child_transitions,
                              ids, round % 2 == 0 ? std::uint64_t{50} : ~std::uint64_t{0});
    ASSERT_TRUE(t);
    for (int q = 0; q < 5; ++q) {
      const std::u32string term = testing::shape_query(shape, pick, 12);
      VideoQuery query;
      query.max_dist = static_cast<std::uint32_t>(pick(3));
      if (pick(2) == 0)
        query.limit = pick(20);
      if (const std::size_t prefix = pick(3); prefix != 2)
        query.include_prefix_nodes = prefix == 1;
      if (pick(2) == 0)
        query.min_score = 0.0;
      EXPECT_EQ(fuzzy_match_video(*t, term, query), reference_video(*t, term, query)) << round << " " << q;
    }
  }
}

// ------------------------------------------------------------ huge max_dist

/// Past the 16-bit range the walk's bound never drops below the largest
/// max_dist used as given, so results never shrink as max_dist grows, also
/// on a cycle (where the bound of term length + node count is no bound on
/// the distances).
TEST(WalkBound, ResultsNeverShrinkAsMaxDistGrows) {
  // Root -> 1 -> 2 -> 1: node 1 and 2 alternate down every depth.
  Trie cycle;
  cycle.node_shifts = {0, 1, 2};
  cycle.child_labels = {0, U'a', U'b'};
  cycle.child_transitions = {1, 2, 1};
  for (int i = 0; i < 3; ++i)
    cycle.payloads.push(testing::payload(1, {}, {}));
  cycle.terminal_flags = {0, 1, 1};
  cycle.derive_layout();
  ASSERT_FALSE(cycle.layout);
  for (const std::u32string& term : {std::u32string(), std::u32string(U"ab"), std::u32string(300, U'a')}) {
    const std::size_t top = 0xFFFF - 2 - term.size();  // the largest max_dist used as given
    std::size_t previous = 0;
    for (const std::uint64_t d : {top - 2, top - 1, top, top + 1, top + 2, top + 1000, std::uint64_t{0xFFFFFFFF}}) {
      const auto hits = fuzzy_match_nodes(cycle, term, {static_cast<std::uint32_t>(d), {}}, false);
      EXPECT_GE(hits.size(), previous) << "length " << term.size() << " max_dist " << d;
      previous = hits.size();
    }
    EXPECT_EQ(walk_max_dist(term.size(), 0xFFFFFFFF, cycle.node_count()), top);
  }
  // The empty term: one hit per depth, 65,533 of them from 65,533 on.
  EXPECT_EQ(fuzzy_match_nodes(cycle, U"", {65533, {}}, false).size(), 65533u);
  EXPECT_EQ(fuzzy_match_nodes(cycle, U"", {65534, {}}, false).size(), 65533u);
}

TEST(WalkBound, MaxDistUsedIsMonotone) {
  for (const std::size_t length : {0u, 1u, 100u, 65530u, 65533u, 65534u, 70000u}) {
    for (const std::size_t nodes : {1u, 2u, 1000u, 100000u}) {
      std::uint32_t previous = 0;
      for (std::uint64_t d = 0; d <= 0xFFFFFFFFu; d = d < 70000 ? d + 1 : d * 3 + 1) {
        const std::uint32_t used = walk_max_dist(length, static_cast<std::uint32_t>(d), nodes);
        ASSERT_GE(used, previous) << length << " " << nodes << " " << d;
        ASSERT_LE(used, d);
        if (fits_narrow_cells(length, static_cast<std::uint32_t>(d)))
          ASSERT_EQ(used, d);
        else
          ASSERT_GE(used, std::min<std::uint64_t>(d, length + nodes));
        previous = used;
      }
    }
  }
}

}  // namespace
}  // namespace quorvatel

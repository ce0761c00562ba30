// The mapped index file: a trie written and opened again answers every query
// as the trie itself does (results, or the same internal fault), writes the
// same snapshot, and a damaged file ends in its error at open or in an
// internal fault at query time, never in a read outside the file.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <variant>

#include "prefix/complete/search.hpp"
#include "prefix/mapped/file_mapping.hpp"
#include "prefix/mapped/mapped_format.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "random_tree.hpp"
#include "random_trie.hpp"

namespace quorvatel {
namespace {

using complete::SubtreeBounds;
using mapped::Problem;

/// Bytes at a 64-byte boundary, as a mapping gives them.
class Aligned {
 public:
  explicit Aligned(std::span<const std::uint8_t> bytes)
      : size_(bytes.size()),
        data_(static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes.size() + 64) / 64 * 64)), &std::free) {
    std::memcpy(data_.get(), bytes.data(), bytes.size());
  }
  [[nodiscard]] std::span<const std::uint8_t> bytes() const { return {data_.get(), size_}; }
  [[nodiscard]] std::uint8_t* data() { return data_.get(); }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t, decltype(&std::free)> data_;
};

/// A query's results, or the message of the fault it ended in.
template <class F>
auto outcome(F&& f) -> std::variant<decltype(f()), std::string> {
  try {
    return f();
  } catch (const InternalFault& fault) {
    return fault.message();
  }
}

/// A poll budget that never runs out within the small tries below.
class Unbounded final : public CancelHook {
 public:
  bool should_stop() override { return false; }
};

struct Query {
  std::u32string term;
  std::uint32_t k;
  std::optional<std::uint64_t> limit;
};

/// Compares every query of `queries` on the trie and on its mapped view.
void expect_same_answers(const Trie& trie, const SubtreeBounds& bounds, const mapped::MappedView& view,
                         const std::vector<Query>& queries) {
  const TrieView own(trie);
  Unbounded never;
  for (const Query& q : queries) {
    SCOPED_TRACE(::testing::Message() << "k " << q.k << " term length " << q.term.size());
    const WalkOptions options{q.k, q.limit, &never};
    EXPECT_EQ(outcome([&] { return fuzzy_match(own, q.term, options); }),
              outcome([&] { return fuzzy_match(view.trie, q.term, options); }));
    for (const bool terminal_only : {true, false})
      EXPECT_EQ(outcome([&] { return fuzzy_match_nodes(own, q.term, options, terminal_only); }),
                outcome([&] { return fuzzy_match_nodes(view.trie, q.term, options, terminal_only); }));
    for (const std::optional<bool> prefix : {std::optional<bool>(), std::optional<bool>(true)}) {
      const VideoQuery vq{q.k, q.limit, prefix, std::nullopt, &never};
      const auto a = outcome([&] { return fuzzy_match_video(own, q.term, vq); });
      const auto b = outcome([&] { return fuzzy_match_video(view.trie, q.term, vq); });
      ASSERT_EQ(a.index(), b.index());
      if (a.index() == 1) {
        EXPECT_EQ(std::get<1>(a), std::get<1>(b));
        continue;
      }
      const auto& x = std::get<0>(a);
      const auto& y = std::get<0>(b);
      ASSERT_EQ(x.size(), y.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        EXPECT_EQ(x[i].id, y[i].id);
        EXPECT_EQ(std::memcmp(&x[i].score, &y[i].score, sizeof(double)), 0);  // bit for bit
      }
    }
    if (bounds.usable()) {
      for (const complete::Mode mode : {complete::Mode::Complete, complete::Mode::Suggest}) {
        complete::Request request;
        request.mode = mode;
        request.text = q.term;
        request.limit = q.limit.value_or(10);
        request.policy.max_dist = q.k;
        const auto a = complete::search(trie, bounds, request);
        const auto b = complete::search(view.trie, view.bounds, request);
        ASSERT_EQ(a.has_value(), b.has_value());
        if (a) {
          EXPECT_EQ(*a, *b);
        }
      }
    }
  }
}

/// Writes `trie`, opens the file with the checksum checked, and holds both.
struct RoundTrip {
  explicit RoundTrip(const Trie& trie)
      : bounds(SubtreeBounds::derive(trie)), file(mapped::encode(TrieView(trie), bounds.view())) {}
  SubtreeBounds bounds;
  Aligned file;
};

std::vector<Query> random_queries(std::mt19937& rng, std::u32string alphabet, std::size_t count) {
  std::vector<Query> out;
  for (std::size_t i = 0; i < count; ++i) {
    Query q{testing::random_term(rng, 6, alphabet), static_cast<std::uint32_t>(rng() % 4), std::nullopt};
    if (rng() % 4 == 0)
      q.limit = rng() % 4;
    out.push_back(std::move(q));
  }
  return out;
}

void check_round_trip(const Trie& trie, std::mt19937& rng, std::u32string alphabet) {
  RoundTrip rt(trie);
  ASSERT_EQ(rt.file.bytes().size(), mapped::encoded_size(TrieView(trie), rt.bounds.view()));
  const auto opened = mapped::open(rt.file.bytes(), true);
  ASSERT_TRUE(opened) << opened.error().detail;
  const mapped::MappedView& view = *opened;
  EXPECT_EQ(view.trie.tree, trie.layout.has_value());
  EXPECT_EQ(view.bounds.usable(), rt.bounds.usable());
  EXPECT_EQ(view.bounds.problem, rt.bounds.problem());
  EXPECT_TRUE(view.trie.payloads.same_payloads(trie.payloads.view()));
  EXPECT_EQ(mapped::searchable_problem(view), "");
  const std::vector<std::uint8_t> snapshot = snapshot::encode(trie);
  ASSERT_EQ(snapshot::encoded_size(view.trie), snapshot.size());
  std::vector<std::uint8_t> again(snapshot.size());
  snapshot::encode_into(view.trie, again);
  EXPECT_EQ(again, snapshot);
  // The file of the mapped view is the file of the trie.
  const std::vector<std::uint8_t> rewritten = mapped::encode(view.trie, view.bounds);
  EXPECT_TRUE(std::ranges::equal(rewritten, rt.file.bytes()));
  expect_same_answers(trie, rt.bounds, view, random_queries(rng, std::move(alphabet), 12));
}

enum class Kind { BuiltTrie, WithBackEdges, AnyFields, BreadthFirstTree, PreOrderTree, ParentsFirstTree };

class MappedDifferential : public ::testing::TestWithParam<Kind> {};

TEST_P(MappedDifferential, AnswersAndSnapshotAsTheTrie) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()) * 7919u + 1);
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(round);
    Trie trie;
    std::u32string alphabet = U"abc\U0001F600";
    switch (GetParam()) {
      case Kind::BuiltTrie:
        trie = testing::random_trie(rng);
        break;
      case Kind::WithBackEdges:
        trie = testing::random_trie(rng, {.max_nodes = 12, .allow_back_edges = true});
        break;
      case Kind::AnyFields: {
        testing::Rng r{rng};
        trie = testing::random_fields(r);
        trie.derive_layout();
        alphabet = U"ab\u00E9";
        break;
      }
      default: {
        const auto numbering = GetParam() == Kind::BreadthFirstTree ? testing::Numbering::BreadthFirst
                               : GetParam() == Kind::PreOrderTree   ? testing::Numbering::PreOrder
                                                                    : testing::Numbering::ParentsFirst;
        testing::EnginePick pick{rng};
        const testing::TreeShape shape = testing::random_shape(pick, 60);
        trie = testing::shape_trie(shape, numbering, pick);
        alphabet = U"abcd\u00E9\u4E00\U0001F600";
        break;
      }
    }
    check_round_trip(trie, rng, alphabet);
  }
}

INSTANTIATE_TEST_SUITE_P(Tries, MappedDifferential,
                         ::testing::Values(Kind::BuiltTrie, Kind::WithBackEdges, Kind::AnyFields,
                                           Kind::BreadthFirstTree, Kind::PreOrderTree, Kind::ParentsFirstTree));

// ------------------------------------------------------------------ damage

/// Header field offsets of the file (see mapped_format.cpp).
constexpr std::size_t kVersionAt = 8;
constexpr std::size_t kByteOrderAt = 12;
constexpr std::size_t kFlagsAt = 16;
constexpr std::size_t kSectionCountAt = 20;
constexpr std::size_t kNodesAt = 40;
constexpr std::size_t kIdModeAt = 64;
constexpr std::size_t kSlotWidthAt = 72;
constexpr std::size_t kSectionsAt = 80;

std::size_t section_at(mapped::Section s) { return kSectionsAt + 16 * static_cast<std::size_t>(s); }

template <class T>
T read_at(const std::vector<std::uint8_t>& f, std::size_t at) {
  T v;
  std::memcpy(&v, f.data() + at, sizeof v);
  return v;
}
template <class T>
void write_at(std::vector<std::uint8_t>& f, std::size_t at, T v) {
  std::memcpy(f.data() + at, &v, sizeof v);
}

/// A tree of a few terms with videos, in walk form.
Trie sample_tree() {
  std::mt19937 rng(5);
  testing::EnginePick pick{rng};
  Trie t = testing::shape_trie(testing::random_shape(pick, 40), testing::Numbering::PreOrder, pick);
  EXPECT_TRUE(t.layout.has_value());
  return t;
}

struct Damage {
  const char* name;
  std::function<void(std::vector<std::uint8_t>&)> apply;
  Problem problem;
  bool verify = false;
};

class MappedDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(MappedDamage, EndsInItsError) {
  const Trie trie = sample_tree();
  std::vector<std::uint8_t> file = mapped::encode(TrieView(trie), SubtreeBounds::derive(trie).view());
  GetParam().apply(file);
  const Aligned aligned(file);
  const auto opened = mapped::open(aligned.bytes(), GetParam().verify);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().problem, GetParam().problem) << opened.error().detail;
}

using S = mapped::Section;

INSTANTIATE_TEST_SUITE_P(
    Cases, MappedDamage,
    ::testing::Values(
        Damage{"ShorterThanTheHeader", [](auto& f) { f.resize(100); }, Problem::TooShort},
        Damage{"Empty", [](auto& f) { f.clear(); }, Problem::Magic},
        Damage{"NoMagic", [](auto& f) { f[0] ^= 1; }, Problem::Magic},
        Damage{"OtherByteOrder",
               [](auto& f) { write_at<std::uint32_t>(f, kByteOrderAt, __builtin_bswap32(mapped::kByteOrderMark)); },
               Problem::ByteOrder},
        Damage{"OtherVersion", [](auto& f) { write_at<std::uint32_t>(f, kVersionAt, 2); }, Problem::Version},
        Damage{"Truncated", [](auto& f) { f.pop_back(); }, Problem::FileSize},
        Damage{"Extended", [](auto& f) { f.push_back(0); }, Problem::FileSize},
        Damage{"SectionCount", [](auto& f) { write_at<std::uint32_t>(f, kSectionCountAt, 3); }, Problem::Header},
        Damage{"UnknownFlag", [](auto& f) { write_at<std::uint32_t>(f, kFlagsAt, 0x80); }, Problem::Header},
        Damage{"IdMode", [](auto& f) { write_at<std::uint32_t>(f, kIdModeAt, 2); }, Problem::Header},
        Damage{"NodeCount", [](auto& f) { write_at<std::uint64_t>(f, kNodesAt, 3); }, Problem::Header},
        Damage{"SectionPastTheEnd",
               [](auto& f) { write_at<std::uint64_t>(f, section_at(S::Records) + 8, f.size()); }, Problem::Section},
        Damage{"SectionOffsetWraps",
               [](auto& f) { write_at<std::uint64_t>(f, section_at(S::Records), ~std::uint64_t{63}); },
               Problem::Section},
        Damage{"SectionMisaligned",
               [](auto& f) {
                 write_at<std::uint64_t>(f, section_at(S::NodeShifts),
                                         read_at<std::uint64_t>(f, section_at(S::NodeShifts)) + 4);
               },
               Problem::Section},
        Damage{"SectionOfPartValues",
               [](auto& f) {
                 write_at<std::uint64_t>(f, section_at(S::NodeShifts) + 8,
                                         read_at<std::uint64_t>(f, section_at(S::NodeShifts) + 8) - 1);
               },
               Problem::Section},
        Damage{"SlotWidth", [](auto& f) { f[kSlotWidthAt] = 5; }, Problem::Payloads},
        Damage{"SlotPastTheRecords",
               [](auto& f) { f[read_at<std::uint64_t>(f, section_at(S::SlotBytes))] = 0xFE; }, Problem::Payloads},
        Damage{"RecordsOutOfOrder",
               [](auto& f) {
                 const auto at = read_at<std::uint64_t>(f, section_at(S::Records));
                 write_at<std::uint32_t>(f, at + 8 + 4, 1000);  // record 1 begins past record 2
               },
               Problem::Payloads},
        Damage{"ChildPastTheNodes",
               [](auto& f) {
                 const auto at = read_at<std::uint64_t>(f, section_at(S::ChildTransitions));
                 write_at<std::uint32_t>(f, at, 1u << 30);
               },
               Problem::Structure},
        Damage{"RangesBackwards",
               [](auto& f) {
                 const auto at = read_at<std::uint64_t>(f, section_at(S::NodeShifts));
                 write_at<std::uint32_t>(f, at + 4, 1000);
               },
               Problem::Structure},
        Damage{"WideLabelMissing",
               [](auto& f) {
                 const auto at = read_at<std::uint64_t>(f, section_at(S::EdgeLabels));
                 write_at<std::uint16_t>(f, at, kWideLabelEscape ^ 0);
                 write_at<std::uint16_t>(f, at + 2, kWideLabelEscape);
               },
               Problem::Structure},
        Damage{"ContentsChanged", [](auto& f) { f[f.size() - 20] ^= 0x40; }, Problem::Checksum, true},
        Damage{"HeaderReservedChanged", [](auto& f) { f[76] ^= 1; }, Problem::Checksum, true}),
    [](const ::testing::TestParamInfo<Damage>& param) { return std::string(param.param.name); });

/// An edge back to an earlier node leaves every read of the walk inside the
/// arrays, so the file opens and answers; the ranked search, which would
/// loop, is refused.
TEST(MappedFile, AnEdgeBackOpensButIsNoSearchableTree) {
  const Trie trie = sample_tree();
  std::vector<std::uint8_t> file = mapped::encode(TrieView(trie), SubtreeBounds::derive(trie).view());
  write_at<std::uint32_t>(file, read_at<std::uint64_t>(file, section_at(S::ChildTransitions)) + 4, 0);
  const Aligned aligned(file);
  const auto opened = mapped::open(aligned.bytes(), false);
  ASSERT_TRUE(opened) << opened.error().detail;
  EXPECT_EQ(mapped::searchable_problem(*opened),
            "the file gives a tree, but edge 1 leads from node 0 back to node 0");
  Unbounded never;
  for (const char32_t* term : {U"", U"a", U"abc", U"ba"})
    (void)outcome([&] { return fuzzy_match(opened->trie, term, WalkOptions{2, std::nullopt, &never}); });
}

/// A walk form whose edges enter a node twice (and leave another unentered)
/// opens; its snapshot is written from the per-node labels, size pass and
/// writer agreeing.
TEST(MappedFile, AWalkFormThatIsNoTreeWritesItsSnapshot) {
  const Trie trie = sample_tree();
  std::vector<std::uint8_t> file = mapped::encode(TrieView(trie), SubtreeBounds::derive(trie).view());
  const auto kids = read_at<std::uint64_t>(file, section_at(S::ChildTransitions));
  write_at<std::uint32_t>(file, kids + 4, read_at<std::uint32_t>(file, kids + 8));
  const Aligned aligned(file);
  const auto opened = mapped::open(aligned.bytes(), false);
  ASSERT_TRUE(opened) << opened.error().detail;
  EXPECT_NE(mapped::searchable_problem(*opened), "");
  std::vector<char32_t> labels;
  const TrieView written = mapped::snapshot_view(opened->trie, false, labels);
  EXPECT_FALSE(written.tree);
  std::vector<std::uint8_t> snapshot(snapshot::encoded_size(written));
  snapshot::encode_into(written, snapshot);
  EXPECT_TRUE(snapshot::decode(snapshot).has_value());
}

TEST(MappedFile, NotFromAnAlignedStartIsRefused) {
  const Trie trie = sample_tree();
  const std::vector<std::uint8_t> file = mapped::encode(TrieView(trie), SubtreeBounds::derive(trie).view());
  std::vector<std::uint8_t> shifted(file.size() + 64 + 1);
  Aligned aligned(shifted);
  std::memcpy(aligned.data() + 1, file.data(), file.size());
  const auto opened = mapped::open(aligned.bytes().subspan(1, file.size()), false);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().problem, Problem::Section);
}

/// Random damage anywhere in the file: opening ends in an error, or in a view
/// whose every query and snapshot ends in a result or an internal fault
/// (under the sanitizers, any read outside the file stops the test).
TEST(MappedFile, RandomDamageNeverReadsOutsideTheFile) {
  std::mt19937 rng(11);
  Unbounded never;
  int opened_count = 0;
  for (int round = 0; round < 400; ++round) {
    Trie trie = round % 2 ? sample_tree() : testing::random_trie(rng);
    std::vector<std::uint8_t> file = mapped::encode(TrieView(trie), SubtreeBounds::derive(trie).view());
    const std::size_t flips = 1 + rng() % 4;
    for (std::size_t i = 0; i < flips; ++i) {
      const std::size_t at = rng() % file.size();
      file[at] = static_cast<std::uint8_t>(rng());
    }
    const Aligned aligned(file);
    const auto opened = mapped::open(aligned.bytes(), false);
    if (!opened)
      continue;
    ++opened_count;
    for (const Query& q : random_queries(rng, U"abc\U0001F600", 4)) {
      const WalkOptions options{q.k, q.limit, &never};
      (void)outcome([&] { return fuzzy_match(opened->trie, q.term, options); });
      const VideoQuery vq{q.k, q.limit, std::nullopt, std::nullopt, &never};
      (void)outcome([&] { return fuzzy_match_video(opened->trie, q.term, vq); });
      if (opened->bounds.usable() && mapped::searchable_problem(*opened).empty()) {  // as the package asks
        complete::Request request;
        request.text = q.term;
        (void)outcome([&] { return complete::search(opened->trie, opened->bounds, request); });
      }
    }
    std::vector<char32_t> labels;
    const TrieView written = mapped::snapshot_view(opened->trie, mapped::searchable_problem(*opened).empty(), labels);
    std::vector<std::uint8_t> snapshot(snapshot::encoded_size(written));
    snapshot::encode_into(written, snapshot);
  }
  EXPECT_GT(opened_count, 50);  // most damage lies in values that open reads as they are
}

TEST(MappedFile, WrittenToAFileAndMappedIsTheEncodedFile) {
  const Trie trie = sample_tree();
  const SubtreeBounds bounds = SubtreeBounds::derive(trie);
  char path[] = "/tmp/quorvatel-mapped-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(mapped::write_file(fd, TrieView(trie), bounds.view()), 0);
  ::close(fd);
  auto mapping = mapped::FileMapping::open(path);
  ::unlink(path);
  ASSERT_TRUE(mapping);
  const std::vector<std::uint8_t> expected = mapped::encode(TrieView(trie), bounds.view());
  EXPECT_TRUE(std::ranges::equal(mapping->bytes(), expected));
  const auto opened = mapped::open(mapping->bytes(), true);
  ASSERT_TRUE(opened);
  EXPECT_EQ(mapped::write_file(-1, TrieView(trie), bounds.view()), EBADF);
  EXPECT_EQ(mapped::FileMapping::open("/nonexistent/quorvatel").error(), ENOENT);
}

}  // namespace
}  // namespace quorvatel

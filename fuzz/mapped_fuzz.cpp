// Opens arbitrary bytes as a mapped index file (after the query header of the
// snapshot target), with and without the checksum. A file that opens must
// answer every query with a result or an internal fault and write a
// snapshot; that snapshot, decoded, is the trie a PrefixSearch of the same
// file would hold: its walk must give the same results or the same fault.
// Where the file's subtree heights and completion bounds are the ones the
// trie derives (always, for a file a writer made), the completion search
// must agree too; the file written again from the opened view must open
// again, checksum included.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_support.hpp"
#include "prefix/complete/search.hpp"
#include "prefix/mapped/mapped_format.hpp"
#include "prefix/trie/trie_codec.hpp"

namespace {

using namespace quorvatel;

template <class A, class B>
void expect_same(const A& a, const B& b, const char* what) {
  if (a && b && *a != *b)
    fuzz::fail(what);
}

bool same_bounds(const complete::SubtreeBoundsView& a, const complete::SubtreeBoundsView& b) {
  return a.usable() == b.usable() && a.problem == b.problem && std::ranges::equal(a.best, b.best) &&
         std::ranges::equal(a.ranks, b.ranks) && a.edges == b.edges;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  const bool verify = (in.byte() & 1) != 0;
  const auto file_in = in.rest();
  // At a 64-byte boundary, as a mapping is.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(
      static_cast<std::uint8_t*>(std::aligned_alloc(64, (file_in.size() + 64) / 64 * 64)), &std::free);
  if (!file_in.empty())
    std::memcpy(buffer.get(), file_in.data(), file_in.size());
  const std::span<const std::uint8_t> file(buffer.get(), file_in.size());

  const auto opened = mapped::open(file, verify);
  if (!opened) {
    if (opened.error().detail.empty() && opened.error().problem != mapped::Problem::Magic)
      fuzz::fail("an open error without its detail");
    return 0;
  }
  const TrieView& view = opened->trie;

  // The snapshot of the view, decoded: the trie a PrefixSearch of this file holds.
  const bool searchable = mapped::searchable_problem(*opened).empty();
  std::vector<char32_t> labels;
  const TrieView written = mapped::snapshot_view(view, searchable, labels);
  std::vector<std::uint8_t> snapshot(snapshot::encoded_size(written));
  snapshot::encode_into(written, snapshot);
  auto trie = snapshot::decode(snapshot);
  if (!trie)
    fuzz::fail("the snapshot of an opened file does not decode");
  if (snapshot::encode(*trie) != snapshot)
    fuzz::fail("the snapshot of an opened file does not round-trip");
  // A file may hold a tree in its plain form, and a walk form whose arrays
  // are no tree (opening proves only what the walk reads): the walks are
  // compared where both read the same form of the same tree, or both the
  // plain arrays.
  if (view.tree && searchable && !trie->layout)
    fuzz::fail("a file proved a tree whose snapshot is no tree");
  // A label that is no Unicode scalar value (no build or snapshot makes one)
  // is written to the snapshot as U+FFFD: the decoded trie then differs.
  auto scalar = [](char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); };
  const bool scalars = std::ranges::all_of(view.child_labels, scalar) &&
                       std::ranges::all_of(view.edge_labels, [&](std::uint16_t x) { return scalar(x); }) &&
                       std::ranges::all_of(view.wide_labels, [&](const WideLabel& w) { return scalar(w.label); });
  const bool same_heights =
      scalars && searchable &&
      (view.tree ? trie->layout && std::ranges::equal(view.edge_heights, trie->layout->edge_heights) : !trie->layout);

  fuzz::Budget budget(0);
  const WalkOptions options{query.max_dist, query.limit, &budget};
  const auto mine = fuzz::outcome_of([&] { return fuzzy_match(view, query.term, options); });
  if (same_heights) {
    fuzz::Budget other(0);
    const WalkOptions theirs{query.max_dist, query.limit, &other};
    expect_same(mine, fuzz::outcome_of([&] { return fuzzy_match(*trie, query.term, theirs); }),
                "fuzzy_match differs from the decoded snapshot's");
  }
  for (const std::optional<bool> prefix : {std::optional<bool>(), std::optional<bool>(true)}) {
    const VideoQuery vq{query.max_dist, query.limit, prefix, std::nullopt, &budget};
    (void)fuzz::outcome_of([&] { return fuzzy_match_video(view, query.term, vq); });
  }
  if (opened->bounds.usable() && searchable) {
    complete::Request request;
    request.text = query.term;
    request.limit = query.limit.value_or(10);
    request.policy.max_dist = query.max_dist;
    request.cancel = &budget;
    const auto found = fuzz::outcome_of([&] { return complete::search(view, opened->bounds, request); });
    const complete::SubtreeBounds derived = complete::SubtreeBounds::derive(*trie);
    if (!derived.usable())
      fuzz::fail("bounds opened for a trie that derives none");
    if (scalars && same_bounds(derived.view(), opened->bounds)) {
      fuzz::Budget other(0);
      request.cancel = &other;
      expect_same(found, fuzz::outcome_of([&] { return complete::search(*trie, derived, request); }),
                  "completion differs from the decoded snapshot's");
    }
  }

  const std::vector<std::uint8_t> again = mapped::encode(view, opened->bounds);
  std::unique_ptr<std::uint8_t, decltype(&std::free)> copy(
      static_cast<std::uint8_t*>(std::aligned_alloc(64, (again.size() + 64) / 64 * 64)), &std::free);
  std::memcpy(copy.get(), again.data(), again.size());
  if (!mapped::open(std::span<const std::uint8_t>(copy.get(), again.size()), true))
    fuzz::fail("the file written from an opened file does not open");
  return 0;
}

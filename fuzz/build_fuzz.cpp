// Builds tries from arbitrary flat arrays (edges to smaller numbers,
// self-edges, ranges past the end, empty labels, bad video tables, edges
// repeated up to 65,536 times, payloads of thousands of videos): every input
// ends in a trie, an error value or the internal fault; every trie's
// payloads are those of the plain reference propagation (where it is cheap
// enough to run), it round-trips through a snapshot and answers queries like
// the reference walk.
#include "fuzz_support.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "random_dag.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvatel;
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  static constexpr char32_t kLabels[] = {0, U'a', U'b', U'c', U'\u00e9', U'\U0001F600'};

  const std::size_t n = in.byte() % 48;
  const std::size_t m = in.byte() % 64;
  std::vector<std::uint32_t> shifts;
  std::vector<char32_t> labels;
  std::vector<std::optional<Payload>> payloads;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = in.byte();
    shifts.push_back(static_cast<std::uint32_t>(b % (m + 4)));  // may run past the edges
    labels.push_back(kLabels[(b >> 4) % 6]);
    const std::uint8_t p = in.byte();
    if (p & 1) {
      Payload payload;
      payload.count = (p & 2) ? in.u32() : in.byte();
      for (std::size_t v = 0; v < static_cast<std::size_t>(p >> 5); ++v) {
        payload.video_ids.push_back(in.byte() % 8);
        payload.video_counts.push_back((p & 4) ? in.u32() : in.byte());
      }
      payloads.emplace_back(std::move(payload));
    } else {
      payloads.emplace_back(std::nullopt);
    }
  }
  // Mostly lengths that agree; sometimes not, to reach the checks.
  const std::uint8_t shape = in.byte();
  if (shape == 1)
    shifts.push_back(0);
  if (shape == 2 && !payloads.empty())
    payloads.pop_back();
  std::vector<std::uint32_t> edges;
  for (std::size_t e = 0; e < m; ++e)
    edges.push_back(in.byte() % static_cast<std::uint32_t>(n + (shape == 3 ? 2 : 1) + (n == 0 ? 1 : 0)));
  ByteRows video_index;
  const std::size_t videos = in.byte() % 8;
  const std::uint8_t width_code = in.byte();
  for (std::size_t v = 0; v < videos; ++v) {
    const std::size_t width = width_code == 255 && v == 0 ? 5 : ((width_code & 1) ? 16 : 4);
    for (std::size_t b = 0; b < width; ++b)
      video_index.push_byte(in.byte());
    video_index.end_row();
  }
  const std::uint8_t top_code = in.byte();
  const std::uint64_t top_n = top_code < 250 ? top_code % 5
                                             : top_code == 250 ? (std::uint64_t{1} << 32) + 5
                                                               : std::numeric_limits<std::uint64_t>::max() - (255 - top_code);

  // Optional tail (inputs that end before it build as they always did):
  // edges repeated many times, and payloads of many videos.
  for (std::size_t r = in.byte() % 4; r > 0 && !edges.empty(); --r) {
    const std::size_t e = in.byte() % edges.size();
    const std::size_t times = std::size_t{1} << (in.byte() % 17);  // up to 65,536 copies in all
    edges.insert(edges.begin() + static_cast<std::ptrdiff_t>(e), times - 1, edges[e]);
    for (std::uint32_t& shift : shifts)
      if (shift > e)
        shift += static_cast<std::uint32_t>(times - 1);
  }
  for (std::size_t r = in.byte() % 3; r > 0 && !payloads.empty(); --r) {
    const std::size_t node = in.byte() % payloads.size();
    const std::size_t many = std::size_t{256} * (in.byte() % 16);
    const std::uint32_t stride = 1 + in.byte() % 7;
    const std::uint32_t count = in.u32();
    Payload big{in.u32(), {}, {}};
    for (std::size_t v = 0; v < many; ++v) {
      big.video_ids.push_back(static_cast<std::uint32_t>(v * stride % 3001));
      big.video_counts.push_back(count ^ static_cast<std::uint32_t>(v * 2654435761u));
    }
    payloads[node] = std::move(big);
  }

  std::optional<Trie> trie;
  try {
    auto built = build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), video_index, top_n);
    if (!built) {
      if (built.error().message.empty())
        fuzz::fail("an error without a message");
      return 0;
    }
    trie = std::move(*built);
  } catch (const InternalFault&) {
    return 0;  // a range past the end of the edges
  }
  for (std::size_t i = 0; i < trie->payloads.size(); ++i) {
    const auto p = trie->payloads.get(i);
    if (!p || !p->consistent() || p->ids_len > top_n)
      fuzz::fail("a built payload breaks the trie's invariants");
  }
  // The plain reference merges every edge's list, and a query scores every
  // path's node, so both run only where edges x entries stays small.
  std::size_t entries = 0;
  for (const auto& p : payloads)
    entries += p ? p->video_ids.size() : 0;
  const bool small = trie->child_transitions.size() * (entries + 1) <= 500'000;
  if (small) {
    testing::DagArrays arrays{trie->node_shifts, trie->child_transitions, payloads, top_n};
    const std::vector<Payload> expected = testing::reference_propagation(arrays);
    for (std::size_t i = 0; i < expected.size(); ++i)
      if (trie->payloads.payload(i) != expected[i])
        fuzz::fail("a propagated payload differs from the plain reference");
  }
  const auto bytes = snapshot::encode(*trie);
  auto again = snapshot::decode(bytes);
  if (!again || !(*again == *trie))
    fuzz::fail("a built trie does not round-trip");
  if (small)
    fuzz::check_queries(*trie, query);
  return 0;
}

// Feeds arbitrary terms, videos and records to the RecordsBuilder (terms in
// 8-, 16- or 32-bit units, hashes that collide on purpose, ids of both kinds,
// counts that saturate) and compares it with a plain reference: the ids and
// rows it hands out, whether build() refuses, and the trie it builds, which
// must be the one build_trie gives for the arrays the records describe
// (rows summed, videos ranked, children by code point, nodes in pre-order).
// Every trie built must round-trip through a snapshot and answer queries like
// the reference walk.
#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "fuzz_support.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/records.hpp"
#include "prefix/trie/trie_codec.hpp"

namespace {

using namespace quorvatel;

constexpr char32_t kChars[] = {U'a', U'b', U'c', U'\u00e9', U'\u6771', U'\U0001F600', 0, 0xD800, 0x110000};
constexpr std::uint32_t kMax = 0xFFFF'FFFF;

std::uint64_t text_hash(const std::u32string& text, bool colliding) {
  std::uint64_t h = 1469598103934665603ULL;
  for (const char32_t c : text)
    h = (h ^ c) * 1099511628211ULL;
  return colliding ? h % 4 : h;
}

/// The id `builder` gives `text`, passed in units of at least the width its
/// code points need and at least `width` bytes.
std::uint32_t term_id(RecordsBuilder& builder, std::uint64_t hash, const std::u32string& text, unsigned width) {
  const char32_t top = text.empty() ? 0 : *std::ranges::max_element(text);
  if (top > 0xFFFF || width >= 4) {
    const std::vector<std::uint32_t> units(text.begin(), text.end());
    return builder.term(hash, std::span<const std::uint32_t>(units));
  }
  if (top > 0xFF || width >= 2) {
    std::vector<std::uint16_t> units;
    for (const char32_t c : text)
      units.push_back(static_cast<std::uint16_t>(c));
    return builder.term(hash, std::span<const std::uint16_t>(units));
  }
  std::vector<std::uint8_t> units;
  for (const char32_t c : text)
    units.push_back(static_cast<std::uint8_t>(c));
  return builder.term(hash, std::span<const std::uint8_t>(units));
}

struct Node {
  std::map<char32_t, std::unique_ptr<Node>> children;
  std::optional<std::uint32_t> term;
};

/// The arrays of the records, laid out the plain way.
struct Reference {
  std::vector<std::u32string> terms;  // by id
  std::vector<std::uint32_t> int_ids;
  std::vector<VideoUuid> uuids;
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> rows;

  [[nodiscard]] bool refused() const {
    if (!int_ids.empty() && !uuids.empty())
      return true;
    return std::ranges::any_of(terms, [](const std::u32string& t) {
      return t.empty() ||
             std::ranges::any_of(t, [](char32_t c) { return c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF); });
    });
  }

  [[nodiscard]] Trie build(std::uint64_t top_n) const {
    Node root;
    for (std::uint32_t t = 0; t < terms.size(); ++t) {
      Node* node = &root;
      for (const char32_t c : terms[t]) {
        auto& child = node->children[c];
        if (!child)
          child = std::make_unique<Node>();
        node = child.get();
      }
      node->term = t;
    }
    std::vector<std::uint64_t> totals(terms.size());
    std::vector<std::map<std::uint32_t, std::uint64_t>> videos(terms.size());
    for (const auto& [term, video, count] : rows) {
      totals[term] += count;
      if (video != kNoVideo)
        videos[term][video] += count;
    }
    std::vector<std::uint32_t> shifts;
    std::vector<char32_t> labels;
    std::vector<std::optional<Payload>> payloads;
    std::vector<std::vector<std::uint32_t>> children;
    // Pre-order numbering, children by code point.
    auto visit = [&](auto& self, const Node& node, char32_t label) -> std::uint32_t {
      const auto number = static_cast<std::uint32_t>(labels.size());
      labels.push_back(label);
      children.emplace_back();
      payloads.emplace_back();
      if (node.term) {
        const std::uint32_t t = *node.term;
        std::vector<std::pair<std::uint32_t, std::uint64_t>> ranked(videos[t].begin(), videos[t].end());
        std::ranges::stable_sort(ranked, [](const auto& a, const auto& b) { return a.second > b.second; });
        Payload p;
        p.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(totals[t], kMax));
        for (const auto& [row, total] : ranked) {
          p.video_ids.push_back(row);
          p.video_counts.push_back(static_cast<std::uint32_t>(std::min<std::uint64_t>(total, kMax)));
        }
        payloads[number] = std::move(p);
      }
      for (const auto& [c, child] : node.children) {
        const std::uint32_t below = self(self, *child, c);
        children[number].push_back(below);
      }
      return number;
    };
    visit(visit, root, 0);
    std::vector<std::uint32_t> edges;
    for (const auto& list : children) {
      shifts.push_back(static_cast<std::uint32_t>(edges.size()));
      edges.insert(edges.end(), list.begin(), list.end());
    }
    ByteRows index;
    for (const std::uint32_t id : int_ids) {
      for (int b = 0; b < 4; ++b)
        index.push_byte(static_cast<std::uint8_t>(id >> (8 * b)));
      index.end_row();
    }
    for (const VideoUuid& id : uuids)
      index.push_row(id);
    auto built = build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), index, top_n);
    if (!built)
      fuzz::fail("build_trie refuses the reference arrays");
    return std::move(*built);
  }
};

template <class Key>
std::uint32_t row_of(std::vector<Key>& keys, const Key& key) {
  const auto at = std::ranges::find(keys, key);
  if (at != keys.end())
    return static_cast<std::uint32_t>(at - keys.begin());
  keys.push_back(key);
  return static_cast<std::uint32_t>(keys.size() - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  const std::uint8_t top = in.byte();
  const std::uint64_t top_n = top == 255 ? ~std::uint64_t{0} : top % 6;
  const bool colliding = (in.byte() & 1) != 0;

  RecordsBuilder builder;
  Reference ref;
  std::vector<std::uint32_t> videos;  // rows handed out so far, in the order handed out
  for (int ops = 0; ops < 400 && !in.empty(); ++ops) {
    const std::uint8_t op = in.byte();
    switch (op % 4) {
      case 0: {  // a term, perhaps one seen before
        std::u32string text;
        const std::size_t len = in.byte() % 7;
        for (std::size_t i = 0; i < len; ++i) {
          const std::uint8_t b = in.byte();
          text.push_back(b < 248 ? kChars[b % 6] : kChars[6 + b % 3]);  // now and then one build() refuses
        }
        const std::uint32_t id = term_id(builder, text_hash(text, colliding), text, 1u << ((op >> 2) % 3));
        const auto known = std::ranges::find(ref.terms, text);
        if (id != static_cast<std::uint32_t>(known - ref.terms.begin()))
          fuzz::fail("a term got another id than its first appearance");
        if (known == ref.terms.end())
          ref.terms.push_back(text);
        break;
      }
      case 1: {  // an integer video
        const std::uint32_t id = (op & 4) ? in.u32() : in.byte() % 8;
        const std::uint32_t row = builder.int_video(id);
        if (row != row_of(ref.int_ids, id))
          fuzz::fail("an integer video got another row than its first appearance");
        videos.push_back(row);
        break;
      }
      case 2: {  // a 16-byte video
        VideoUuid id{};
        id[0] = in.byte() % 8;
        id[15] = static_cast<std::uint8_t>(op);
        const std::uint32_t row = builder.uuid_video(id);
        if (row != row_of(ref.uuids, id))
          fuzz::fail("a 16-byte video got another row than its first appearance");
        videos.push_back(row);
        break;
      }
      default: {  // a record of a term already given, with a video already given or none
        if (ref.terms.empty())
          break;
        const auto term = static_cast<std::uint32_t>(in.byte() % ref.terms.size());
        const std::uint8_t v = in.byte();
        const std::uint32_t video = videos.empty() || v % 4 == 0 ? kNoVideo : videos[v % videos.size()];
        const std::uint32_t count = (op & 4) ? in.u32() : in.byte();
        builder.add(term, video, count);
        ref.rows.emplace_back(term, video, count);
      }
    }
  }

  Result<Trie> built = std::move(builder).build(top_n);
  if (!built) {
    if (!ref.refused())
      fuzz::fail("build() refuses records the reference accepts");
    if (built.error().message.empty())
      fuzz::fail("an error without a message");
    return 0;
  }
  if (ref.refused())
    fuzz::fail("build() accepts records the reference refuses");
  if (!(*built == ref.build(top_n)))
    fuzz::fail("the records' trie differs from the reference trie");
  const auto bytes = snapshot::encode(*built);
  const auto again = snapshot::decode(bytes);
  if (!again || !(*again == *built))
    fuzz::fail("a built trie does not round-trip");
  fuzz::check_queries(*built, query);
  return 0;
}

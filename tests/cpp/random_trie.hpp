// Random tries for the differential and property tests: tries that a build
// makes from random flat arrays (random_trie), and random field values for
// the snapshot codec, small (random_fields) and large (large_fields).
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "prefix/trie/builder.hpp"

namespace quorvatel::testing {

struct RandomTrieOptions {
  std::size_t max_nodes = 40;
  bool allow_back_edges = false;  // edges to the node itself or to smaller numbers
  std::u32string alphabet = U"abc";
};

inline Trie random_trie(std::mt19937& rng, const RandomTrieOptions& o = {}) {
  const std::size_t n = std::uniform_int_distribution<std::size_t>(1, o.max_nodes)(rng);
  std::vector<std::uint32_t> shifts;
  std::vector<std::uint32_t> edges;
  std::vector<char32_t> labels;
  std::vector<std::optional<Payload>> payloads;
  auto chance = [&](double p) { return std::bernoulli_distribution(p)(rng); };
  for (std::size_t i = 0; i < n; ++i) {
    shifts.push_back(static_cast<std::uint32_t>(edges.size()));
    const std::size_t k = std::uniform_int_distribution<std::size_t>(0, 3)(rng);
    for (std::size_t e = 0; e < k; ++e) {
      if (o.allow_back_edges && chance(0.2))
        edges.push_back(std::uniform_int_distribution<std::uint32_t>(0, static_cast<std::uint32_t>(i))(rng));
      else if (i + 1 < n)
        edges.push_back(std::uniform_int_distribution<std::uint32_t>(static_cast<std::uint32_t>(i + 1),
                                                                     static_cast<std::uint32_t>(n - 1))(rng));
    }
    char32_t label = o.alphabet[std::uniform_int_distribution<std::size_t>(0, o.alphabet.size() - 1)(rng)];
    if (chance(0.05))
      label = 0;
    else if (chance(0.05))
      label = U'\U0001F600';
    labels.push_back(i == 0 ? 0 : label);
    if (chance(0.5)) {
      Payload p;
      p.count = std::uniform_int_distribution<std::uint32_t>(0, 20)(rng);
      const std::size_t videos = std::uniform_int_distribution<std::size_t>(0, 3)(rng);
      for (std::size_t v = 0; v < videos; ++v) {
        p.video_ids.push_back(std::uniform_int_distribution<std::uint32_t>(0, 5)(rng));
        p.video_counts.push_back(std::uniform_int_distribution<std::uint32_t>(0, 9)(rng));
      }
      payloads.emplace_back(std::move(p));
    } else {
      payloads.emplace_back(std::nullopt);
    }
  }
  ByteRows ids;
  for (std::uint32_t v = 0; v < 5; ++v) {  // row 5 lies outside the table
    for (int b = 0; b < 4; ++b)
      ids.push_byte(static_cast<std::uint8_t>((v + 100) >> (8 * b)));
    ids.end_row();
  }
  auto built = build_trie(std::move(shifts), std::move(labels), payloads, std::move(edges), ids, 3);
  return std::move(*built);
}

inline std::u32string random_term(std::mt19937& rng, std::size_t max_len = 5, std::u32string alphabet = U"abcd") {
  const std::size_t len = std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
  std::u32string t;
  for (std::size_t i = 0; i < len; ++i)
    t.push_back(alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)]);
  return t;
}

// ---------------------------------------------------------- field values for the codec

/// std::mt19937 narrowed to the 32 bits it produces.
struct Rng {
  std::mt19937 engine;
  std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
};

inline std::uint32_t random_u32(Rng& rng) {
  switch (rng() % 4) {
    case 0:
      return rng() % 251;
    case 1:
      return 251 + rng() % (65536 - 251);
    case 2:
      return rng() % 2 ? 0xFFFF'FFFFu : 65536 + rng() % 1000;
    default:
      return static_cast<std::uint32_t>(rng());
  }
}

inline char32_t random_char(Rng& rng) {
  switch (rng() % 5) {
    case 0:
      return 0;
    case 1:
      return U'a' + rng() % 26;
    case 2:
      return 0x80 + rng() % (0x800 - 0x80);
    case 3: {
      const char32_t c = 0x800 + rng() % (0x10000 - 0x800);
      return c >= 0xD800 && c <= 0xDFFF ? c + 0x800 : c;
    }
    default:
      return 0x10000 + rng() % (0x110000 - 0x10000);
  }
}

inline std::vector<std::uint32_t> random_list(Rng& rng, std::size_t max_len) {
  // Now and then a list long enough for a 3-byte length.
  const std::size_t len = rng() % 20 == 0 ? 251 + rng() % 10 : rng() % (max_len + 1);
  std::vector<std::uint32_t> out(len);
  for (auto& v : out)
    v = random_u32(rng);
  return out;
}

/// Any values in every field, for the codec: lengths that disagree, ragged
/// and absent payloads, every varint form, characters of every UTF-8 length.
/// Not a trie a build makes; queries on it may fault.
inline Trie random_fields(Rng& rng) {
  Trie t;
  t.node_shifts = random_list(rng, 8);
  t.child_labels.resize(rng() % 9);
  for (auto& c : t.child_labels)
    c = random_char(rng);
  t.child_transitions = random_list(rng, 8);
  const std::size_t slots = rng() % 9;
  for (std::size_t i = 0; i < slots; ++i) {
    if (rng() % 4 == 0) {
      t.payloads.push_absent();
      continue;
    }
    const auto ids = random_list(rng, 4);
    auto counts = random_list(rng, 4);
    if (rng() % 2)
      counts.resize(ids.size(), 1);  // mostly consistent, sometimes ragged
    t.payloads.push(random_u32(rng), ids, counts);
  }
  t.video_uuids.resize(rng() % 3);
  for (auto& id : t.video_uuids)
    for (auto& b : id)
      b = static_cast<std::uint8_t>(rng());
  t.video_int_ids = random_list(rng, 4);
  t.id_mode = rng() % 2 ? IdMode::Int32 : IdMode::Uuid;
  t.terminal_flags.resize(rng() % 9);
  for (auto& f : t.terminal_flags)
    f = static_cast<std::uint8_t>(rng() % 2);
  return t;
}

/// Values that stay in one form for a stretch and then change, as the
/// fields of a real trie do (increasing offsets, descending counts, ids of a
/// small or a large video table), with now and then a value of another form.
struct Regimes {
  Rng& rng;
  int form = 0;
  std::uint32_t operator()() {
    if (rng() % 64 == 0)
      form = static_cast<int>(rng() % 4);
    switch (rng() % 16 == 0 ? rng() % 4 : static_cast<std::uint32_t>(form)) {
      case 0:
        return rng() % 251;
      case 1:
        return 251 + rng() % (65536 - 251);
      case 2:
        return 65536 + rng() % 1'000'000;
      default:
        return static_cast<std::uint32_t>(rng());
    }
  }
};

/// Fields large enough that every one is read and written mostly in runs.
inline Trie large_fields(Rng& rng, std::size_t nodes) {
  Regimes value{rng};
  Trie t;
  for (std::size_t i = 0; i < nodes; ++i)
    t.node_shifts.push_back(value());
  for (std::size_t i = 0; i < nodes; ++i) {
    const unsigned kind = rng() % 40;
    char32_t c = U'a' + rng() % 26;  // mostly runs of ASCII
    if (kind == 0)
      c = 0x80 + rng() % 0x780;
    else if (kind == 1)
      c = 0x800 + rng() % 0xD000;
    else if (kind == 2)
      c = 0x10000 + rng() % 0x100000;
    else if (kind == 3)
      c = 0;
    t.child_labels.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < nodes; ++i)
    t.child_transitions.push_back(value());
  for (std::size_t i = 0; i < nodes; ++i) {
    const unsigned kind = rng() % 100;
    if (kind == 0) {
      t.payloads.push_absent();
      continue;
    }
    std::size_t n = rng() % 12;
    if (kind == 1)
      n = 240 + rng() % 40;  // lengths on both sides of the one-byte form
    std::vector<std::uint32_t> ids(n), counts(n);
    for (auto& id : ids)
      id = value();
    std::uint32_t c = value();
    for (auto& count : counts) {
      count = c;
      c -= c / 3;  // descending, through the forms
    }
    if (kind == 2)
      counts.resize(rng() % 4);  // ragged
    t.payloads.push(value(), ids, counts);
  }
  t.video_uuids.resize(rng() % 50);
  for (auto& id : t.video_uuids)
    for (auto& b : id)
      b = static_cast<std::uint8_t>(rng());
  for (std::size_t i = 0; i < nodes / 8; ++i)
    t.video_int_ids.push_back(value());
  t.id_mode = rng() % 2 ? IdMode::Int32 : IdMode::Uuid;
  for (std::size_t i = 0; i < nodes; ++i)
    t.terminal_flags.push_back(static_cast<std::uint8_t>(rng() % 2));
  return t;
}

}  // namespace quorvatel::testing

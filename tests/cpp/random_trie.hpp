// Random tries for differential tests.
#pragma once

#include <random>

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

}  // namespace quorvatel::testing

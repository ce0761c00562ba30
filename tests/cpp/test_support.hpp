// Small builders shared by the core tests.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "prefix/trie/builder.hpp"

namespace quorvatel {

inline void PrintTo(const Payload& p, std::ostream* os) {
  *os << "(" << p.count << ", [";
  for (auto id : p.video_ids)
    *os << id << " ";
  *os << "], [";
  for (auto c : p.video_counts)
    *os << c << " ";
  *os << "])";
}

}  // namespace quorvatel

namespace quorvatel::testing {

inline Payload payload(std::uint32_t count, std::vector<std::uint32_t> ids, std::vector<std::uint32_t> counts) {
  return Payload{count, std::move(ids), std::move(counts)};
}

inline ByteRows int_ids(std::initializer_list<std::uint32_t> ids) {
  ByteRows rows;
  for (std::uint32_t id : ids) {
    for (int b = 0; b < 4; ++b)
      rows.push_byte(static_cast<std::uint8_t>(id >> (8 * b)));
    rows.end_row();
  }
  return rows;
}

/// The four-node trie storing "ab" and "ac" with Int32 ids 1 and 2.
inline Trie ab_ac_trie() {
  auto built = build_trie({0, 1, 3, 3}, {0, U'a', U'b', U'c'},
                          {std::nullopt, std::nullopt, payload(5, {0}, {5}), payload(3, {1, 0}, {2, 1})},
                          {1, 2, 3}, int_ids({1, 2}), 2);
  return std::move(*built);
}

}  // namespace quorvatel::testing

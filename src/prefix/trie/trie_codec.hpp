// Snapshot of a whole Trie: its eight fields in declaration order, with no
// header, version or checksum. Vectors are a u64 varint length followed by
// their elements; integers are u32 varints, labels UTF-8, uuids 16 raw bytes,
// flags one byte each, and id_mode its index as a u32 varint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "prefix/trie/trie.hpp"
#include "prefix/trie/view.hpp"
#include "snapshot/decode_error.hpp"

namespace quorvatel::snapshot {

/// The type name an invalid id_mode index is reported under.
inline constexpr std::string_view kIdModeTypeName = "IdMode";

/// Exact length of the snapshot of `trie`.
[[nodiscard]] std::size_t encoded_size(const Trie& trie) noexcept;
[[nodiscard]] std::size_t encoded_size(const TrieView& trie) noexcept;

/// Writes the snapshot of `trie` into `out`, whose size must be
/// encoded_size(trie); a span of any other size is a caller bug that stops
/// the process rather than write outside the span or leave bytes unset. The
/// output depends on the trie alone.
///
/// Two in-memory values that a snapshot cannot carry are normalised so that
/// every snapshot written can be read back: a terminal flag other than 0 is
/// written as 1 (Trie::terminal() reads it as true already), and a label that
/// is not a Unicode scalar value (a surrogate or above U+10FFFF; neither the
/// builder nor the decoder produces one) is written as U+FFFD.
///
/// A trie in walk form has its per-node labels made again from its edges for
/// the call (4 bytes a node, released before it returns): std::bad_alloc
/// when that memory cannot be had, before any byte is written.
void encode_into(const Trie& trie, std::span<std::uint8_t> out);
/// The same through a view, whoever owns the arrays; a view in walk form
/// must have been proved a tree (as derive_tree_layout does).
void encode_into(const TrieView& trie, std::span<std::uint8_t> out);

/// The snapshot of `trie` in a vector allocated once at its exact size.
[[nodiscard]] std::vector<std::uint8_t> encode(const Trie& trie);

/// Reads a snapshot. The fields are taken as stored: no invariant of the trie
/// is checked and nothing is propagated; a trie whose arrays form a tree
/// takes its walk form. Bytes after the last field are ignored. On error
/// nothing of the partly read trie is kept.
[[nodiscard]] std::expected<Trie, DecodeError> decode(std::span<const std::uint8_t> bytes);

}  // namespace quorvatel::snapshot

// A plain snapshot codec written from the format alone: one item at a time,
// every length checked before it is read, no runs, no look-ahead. The real
// codec (src/snapshot, trie_codec, payload_codec) must agree with it on
// every input: the same bytes for a trie, the same trie or the same error for
// any bytes. The C++ tests compare the two on chosen and random tries, and
// snapshot_fuzz compares them on every input it tries.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "prefix/trie/trie.hpp"
#include "snapshot/decode_error.hpp"

namespace quorvatel::testing::plain {

using Bytes = std::vector<std::uint8_t>;
/// Picks a varint's form: called once per varint, its value modulo the
/// number of forms that hold the value chooses among them.
using FormChooser = std::function<std::uint32_t()>;
using snapshot::DecodeError;
using snapshot::IntegerType;

// The type names that UnexpectedVariant errors print.
inline constexpr std::string_view kPayloadTypeName = "core::option::Option<quorvatel::payload::Payload>";
inline constexpr std::string_view kIdModeTypeName = "IdMode";

/// Writes varints in their shortest form, or (with a chooser of forms) in
/// any form that holds the value, lengths up to the 9-byte one.
struct Writer {
  Bytes out;
  FormChooser forms;

  void le(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void varint(std::uint64_t v, bool wide) {
    int form = v <= 250 ? 0 : v <= 0xFFFF ? 1 : v <= 0xFFFF'FFFF ? 2 : 3;
    if (forms)
      form += static_cast<int>(forms() % static_cast<unsigned>((wide ? 4 : 3) - form));
    switch (form) {
      case 0:
        out.push_back(static_cast<std::uint8_t>(v));
        break;
      case 1:
        out.push_back(251);
        le(v, 2);
        break;
      case 2:
        out.push_back(252);
        le(v, 4);
        break;
      default:
        out.push_back(253);
        le(v, 8);
    }
  }
  void u32(std::uint32_t v) { varint(v, false); }
  void len(std::size_t n) { varint(n, true); }
  void character(char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
      c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<std::uint8_t>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<std::uint8_t>(0xC0 | (c >> 6)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<std::uint8_t>(0xE0 | (c >> 12)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<std::uint8_t>(0xF0 | (c >> 18)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    }
  }
  void u32s(const std::vector<std::uint32_t>& values) {
    len(values.size());
    for (const std::uint32_t v : values)
      u32(v);
  }
};

inline Bytes encode(const Trie& t, FormChooser forms = {}) {
  Writer w;
  w.forms = std::move(forms);
  w.u32s(t.node_shifts);
  w.len(t.child_labels.size());
  for (const char32_t c : t.child_labels)
    w.character(c);
  w.u32s(t.child_transitions);
  w.len(t.payloads.size());
  for (std::size_t i = 0; i < t.payloads.size(); ++i) {
    const auto p = t.payloads.payload(i);
    w.out.push_back(p ? 1 : 0);
    if (!p)
      continue;
    w.u32(p->count);
    w.u32s(p->video_ids);
    w.u32s(p->video_counts);
  }
  w.len(t.video_uuids.size());
  for (const VideoUuid& id : t.video_uuids)
    w.out.insert(w.out.end(), id.begin(), id.end());
  w.u32s(t.video_int_ids);
  w.u32(static_cast<std::uint32_t>(t.id_mode));
  w.len(t.terminal_flags.size());
  for (const std::uint8_t f : t.terminal_flags)
    w.out.push_back(f != 0 ? 1 : 0);
  return w.out;
}

struct Reader {
  std::span<const std::uint8_t> in;
  std::size_t pos = 0;

  [[nodiscard]] std::size_t left() const { return in.size() - pos; }

  std::expected<std::uint64_t, DecodeError> varint(bool wide) {
    const std::size_t r = left();
    if (r == 0)
      return std::unexpected(DecodeError::unexpected_end(1));
    const std::uint8_t k = in[pos];
    if (k <= 250) {
      ++pos;
      return k;
    }
    std::size_t body = 0;
    if (k == 251) {
      body = 2;
    } else if (k == 252) {
      body = 4;
    } else if (k == 253 && wide) {
      body = 8;
    } else {
      const IntegerType expected = wide ? IntegerType::U64 : IntegerType::U32;
      const IntegerType found = k == 253 ? IntegerType::U64 : k == 254 ? IntegerType::U128 : IntegerType::Reserved;
      return std::unexpected(DecodeError::invalid_integer_type(expected, found));
    }
    if (r < 1 + body)
      return std::unexpected(DecodeError::unexpected_end(1 + body - r));
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < body; ++i)
      v |= std::uint64_t{in[pos + 1 + i]} << (8 * i);
    pos += 1 + body;
    return v;
  }
  std::expected<std::uint32_t, DecodeError> u32() {
    QV_TRY_ASSIGN(const std::uint64_t v, varint(false));
    return static_cast<std::uint32_t>(v);
  }
  std::expected<std::uint8_t, DecodeError> byte() {
    if (left() == 0)
      return std::unexpected(DecodeError::unexpected_end(1));
    return in[pos++];
  }
  std::expected<char32_t, DecodeError> character() {
    QV_TRY_ASSIGN(const std::uint8_t lead, byte());
    std::size_t n;
    char32_t min;
    if (lead < 0x80)
      return lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
      n = 2;
      min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      n = 3;
      min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      n = 4;
      min = 0x10000;
    } else {
      return std::unexpected(DecodeError::invalid_char_encoding({lead, 0, 0, 0}));
    }
    if (left() < n - 1)
      return std::unexpected(DecodeError::unexpected_end(n - 1 - left()));
    std::array<std::uint8_t, 4> bytes{lead, 0, 0, 0};
    char32_t c = lead & (0xFF >> (n + 1));
    bool ok = true;
    for (std::size_t i = 1; i < n; ++i) {
      bytes[i] = in[pos++];
      ok = ok && (bytes[i] & 0xC0) == 0x80;
      c = (c << 6) | (bytes[i] & 0x3F);
    }
    if (!ok || c < min || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
      return std::unexpected(DecodeError::invalid_char_encoding(bytes));
    return c;
  }
  std::expected<std::vector<std::uint32_t>, DecodeError> u32s() {
    QV_TRY_ASSIGN(const std::uint64_t n, varint(true));
    std::vector<std::uint32_t> out;
    for (std::uint64_t i = 0; i < n; ++i) {
      QV_TRY_ASSIGN(const std::uint32_t v, u32());
      out.push_back(v);
    }
    return out;
  }
};

inline std::expected<Trie, DecodeError> decode(std::span<const std::uint8_t> bytes) {
  Reader in{bytes};
  Trie t;
  QV_TRY_ASSIGN(t.node_shifts, in.u32s());
  QV_TRY_ASSIGN(const std::uint64_t labels, in.varint(true));
  for (std::uint64_t i = 0; i < labels; ++i) {
    QV_TRY_ASSIGN(const char32_t c, in.character());
    t.child_labels.push_back(c);
  }
  QV_TRY_ASSIGN(t.child_transitions, in.u32s());
  QV_TRY_ASSIGN(const std::uint64_t slots, in.varint(true));
  for (std::uint64_t i = 0; i < slots; ++i) {
    QV_TRY_ASSIGN(const std::uint8_t tag, in.byte());
    if (tag == 0) {
      t.payloads.push_absent();
      continue;
    }
    if (tag != 1)
      return std::unexpected(DecodeError::unexpected_variant(kPayloadTypeName, tag));
    QV_TRY_ASSIGN(const std::uint32_t count, in.u32());
    QV_TRY_ASSIGN(const std::vector<std::uint32_t> ids, in.u32s());
    QV_TRY_ASSIGN(const std::vector<std::uint32_t> counts, in.u32s());
    t.payloads.push(count, ids, counts);
  }
  QV_TRY_ASSIGN(const std::uint64_t uuids, in.varint(true));
  for (std::uint64_t i = 0; i < uuids; ++i) {
    if (in.left() < 16)
      return std::unexpected(DecodeError::unexpected_end(16 - in.left()));
    VideoUuid id;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(in.pos), 16, id.begin());
    in.pos += 16;
    t.video_uuids.push_back(id);
  }
  QV_TRY_ASSIGN(t.video_int_ids, in.u32s());
  QV_TRY_ASSIGN(const std::uint32_t mode, in.u32());
  if (mode > 1)
    return std::unexpected(DecodeError::unexpected_variant(kIdModeTypeName, mode));
  t.id_mode = static_cast<IdMode>(mode);
  QV_TRY_ASSIGN(const std::uint64_t flags, in.varint(true));
  for (std::uint64_t i = 0; i < flags; ++i) {
    QV_TRY_ASSIGN(const std::uint8_t f, in.byte());
    if (f > 1)
      return std::unexpected(DecodeError::invalid_boolean_value(f));
    t.terminal_flags.push_back(f);
  }
  return t;
}

}  // namespace quorvatel::testing::plain

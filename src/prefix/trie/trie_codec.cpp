#include "prefix/trie/trie_codec.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "core/result.hpp"
#include "payload/payload_codec.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/varint.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;

// ---------------------------------------------------------------- writing

template <ByteWriter W>
void write_char(W& out, char32_t c) noexcept {
  if (c < 0x80) {
    out.put(static_cast<std::uint8_t>(c));
    return;
  }
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) [[unlikely]]
    c = kReplacementChar;
  std::array<std::uint8_t, 4> bytes{};
  std::size_t len;
  if (c < 0x800) {
    bytes[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    len = 2;
  } else if (c < 0x10000) {
    bytes[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    len = 3;
  } else {
    bytes[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    len = 4;
  }
  for (std::size_t i = 1; i < len; ++i)
    bytes[i] = static_cast<std::uint8_t>(0x80 | ((c >> (6 * (len - 1 - i))) & 0x3F));
  out.put(std::span<const std::uint8_t>(bytes.data(), len));
}

template <ByteWriter W>
void write_u32_vector(W& out, const std::vector<std::uint32_t>& values) noexcept {
  write_varint(out, values.size());
  for (const std::uint32_t v : values)
    write_varint(out, v);
}

template <ByteWriter W>
void write_trie(W& out, const Trie& trie) noexcept {
  write_u32_vector(out, trie.node_shifts);
  write_varint(out, trie.child_labels.size());
  for (const char32_t c : trie.child_labels)
    write_char(out, c);
  write_u32_vector(out, trie.child_transitions);
  encode_payloads(out, trie.payloads);
  write_varint(out, trie.video_uuids.size());
  for (const VideoUuid& id : trie.video_uuids)
    out.put(std::span<const std::uint8_t>(id));
  write_u32_vector(out, trie.video_int_ids);
  write_varint(out, static_cast<std::uint32_t>(trie.id_mode));
  write_varint(out, trie.terminal_flags.size());
  for (const std::uint8_t flag : trie.terminal_flags)
    out.put(static_cast<std::uint8_t>(flag != 0));
}

// ---------------------------------------------------------------- reading

/// Reads one UTF-8 character. The sequence length comes from the lead byte;
/// a sequence cut short by the end of the input is UnexpectedEnd before its
/// bytes are looked at; a complete one must be well-formed (RFC 3629: no
/// overlong form, no surrogate, nothing above U+10FFFF).
std::expected<char32_t, DecodeError> read_char_slow(Reader& in) noexcept {
  QV_TRY_ASSIGN(const std::uint8_t lead, in.read_byte());
  if (lead < 0x80)
    return lead;
  std::size_t len;
  // The range the first continuation byte must fall in; the others are 80..BF.
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0)
      lo = 0xA0;  // below: overlong
    else if (lead == 0xED)
      hi = 0x9F;  // above: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0)
      lo = 0x90;  // below: overlong
    else if (lead == 0xF4)
      hi = 0x8F;  // above: past U+10FFFF
  } else {
    return std::unexpected(DecodeError::invalid_char_encoding({lead, 0, 0, 0}));
  }
  if (in.remaining() < len - 1)
    return std::unexpected(DecodeError::unexpected_end(len - 1 - in.remaining()));
  std::array<std::uint8_t, 4> bytes{lead, 0, 0, 0};
  const auto rest = in.take(len - 1);
  bool ok = rest[0] >= lo && rest[0] <= hi;
  char32_t c = lead & (0x7F >> len);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    bytes[1 + i] = rest[i];
    ok = ok && (rest[i] & 0xC0) == 0x80;
    c = (c << 6) | (rest[i] & 0x3F);
  }
  if (!ok)
    return std::unexpected(DecodeError::invalid_char_encoding(bytes));
  return c;
}

[[nodiscard]] inline std::expected<char32_t, DecodeError> read_char(Reader& in) noexcept {
  if (in.remaining() != 0 && *in.current() < 0x80) [[likely]]
    return in.take_byte();
  return read_char_slow(in);
}

// Vector readers. A declared count is believed only as far as the input
// could hold it (Reader::reservation): that much is reserved up front, and
// storage is filled in runs that the remaining bytes are sure to cover, so a
// count larger than the input ends where element-by-element reading ends,
// with the same error, having touched no more memory than the elements that
// arrived. Each reader gives exactly the values and errors of reading the
// elements one by one.

std::expected<void, DecodeError> read_u32_vector(Reader& in, std::vector<std::uint32_t>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  out.reserve(in.reservation(count, 1));
  return read_u32_run(
      in, count,
      [&out](std::size_t k) {
        const std::size_t at = out.size();
        out.resize(at + k);
        return out.data() + at;
      },
      [](std::uint32_t& slot, std::uint32_t value) { slot = value; });
}

std::expected<void, DecodeError> read_labels(Reader& in, std::vector<char32_t>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  out.reserve(in.reservation(count, 1));
  std::uint64_t left = count;
  // Runs in which even 4-byte characters cannot reach the end of the input;
  // ASCII is taken inline, anything else by the full rule.
  while (left != 0) {
    const std::size_t run = in.reservation(left, 4);
    if (run == 0)
      break;
    const std::size_t at = out.size();
    out.resize(at + run);
    char32_t* dst = out.data() + at;
    for (std::size_t i = 0; i < run; ++i) {
      if (*in.current() < 0x80) [[likely]] {
        dst[i] = in.take_byte();
      } else {
        QV_TRY_ASSIGN(dst[i], read_char_slow(in));
      }
    }
    left -= run;
  }
  for (; left != 0; --left) {
    QV_TRY_ASSIGN(const char32_t c, read_char(in));
    out.push_back(c);
  }
  return {};
}

std::expected<VideoUuid, DecodeError> read_uuid(Reader& in) noexcept {
  VideoUuid id;
  if (in.remaining() < id.size())
    return std::unexpected(DecodeError::unexpected_end(id.size() - in.remaining()));
  const auto bytes = in.take(id.size());
  std::copy(bytes.begin(), bytes.end(), id.begin());
  return id;
}

std::expected<void, DecodeError> read_uuids(Reader& in, std::vector<VideoUuid>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  const std::size_t whole = in.reservation(count, sizeof(VideoUuid));
  out.resize(whole);
  if (whole != 0)
    std::memcpy(out.data(), in.take(whole * sizeof(VideoUuid)).data(), whole * sizeof(VideoUuid));
  // Beyond the ids the input holds whole, the next one ends it.
  for (std::uint64_t left = count - whole; left != 0; --left) {
    QV_TRY_ASSIGN(const VideoUuid id, read_uuid(in));
    out.push_back(id);
  }
  return {};
}

std::expected<void, DecodeError> read_flags(Reader& in, std::vector<std::uint8_t>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  const std::size_t present = in.reservation(count, 1);
  const std::uint8_t* src = in.current();
  std::uint8_t stray = 0;  // any bit besides the lowest marks a byte other than 0 or 1
  for (std::size_t i = 0; i < present; ++i)
    stray |= static_cast<std::uint8_t>(src[i] & 0xFE);
  if (stray != 0) [[unlikely]] {
    const std::uint8_t* bad = std::find_if(src, src + present, [](std::uint8_t b) { return b > 1; });
    return std::unexpected(DecodeError::invalid_boolean_value(*bad));
  }
  out.assign(src, src + present);
  in.skip(present);
  if (count > present)  // the input is used up
    return std::unexpected(DecodeError::unexpected_end(1));
  return {};
}

std::expected<IdMode, DecodeError> read_id_mode(Reader& in) noexcept {
  QV_TRY_ASSIGN(const std::uint32_t index, read_u32(in));
  if (index > 1) [[unlikely]]
    return std::unexpected(DecodeError::unexpected_variant(kIdModeTypeName, index));
  return static_cast<IdMode>(index);
}

}  // namespace

std::size_t encoded_size(const Trie& trie) noexcept {
  CountingWriter counter;
  write_trie(counter, trie);
  return counter.size();
}

void encode_into(const Trie& trie, std::span<std::uint8_t> out) noexcept {
  SpanWriter writer(out);
  write_trie(writer, trie);
  // A span longer than the snapshot would leave bytes unwritten.
  if (writer.remaining() != 0) [[unlikely]]
    std::abort();
}

std::vector<std::uint8_t> encode(const Trie& trie) {
  std::vector<std::uint8_t> bytes(encoded_size(trie));
  encode_into(trie, bytes);
  return bytes;
}

std::expected<Trie, DecodeError> decode(std::span<const std::uint8_t> bytes) {
  Reader in(bytes);
  Trie trie;
  QV_TRY(read_u32_vector(in, trie.node_shifts));
  QV_TRY(read_labels(in, trie.child_labels));
  QV_TRY(read_u32_vector(in, trie.child_transitions));
  QV_TRY(decode_payloads(in, trie.payloads));
  QV_TRY(read_uuids(in, trie.video_uuids));
  QV_TRY(read_u32_vector(in, trie.video_int_ids));
  QV_TRY_ASSIGN(trie.id_mode, read_id_mode(in));
  QV_TRY(read_flags(in, trie.terminal_flags));
  return trie;
}

}  // namespace quorvatel::snapshot

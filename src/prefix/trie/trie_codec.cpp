#include "prefix/trie/trie_codec.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/result.hpp"
#include "payload/payload_codec.hpp"
#include "snapshot/memory.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/varint.hpp"
#include "snapshot/writer.hpp"

namespace quorvatel::snapshot {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;

/// Storage for a vector being read is made in runs of at most this many
/// elements, each zero-filled just before it is written: the fill stays in
/// cache, and a declared count far beyond the input costs no more memory
/// than the elements that actually arrive.
constexpr std::size_t kRun = 16384;

// ---------------------------------------------------------------- sizing

/// UTF-8 length of the form written for `c`: labels that are not Unicode
/// scalar values are written as U+FFFD (3 bytes); surrogates take 3 bytes
/// either way.
constexpr std::size_t char_size(char32_t c) noexcept {
  return 1 + static_cast<std::size_t>(c >= 0x80) + static_cast<std::size_t>(c >= 0x800) +
         static_cast<std::size_t>(c >= 0x10000 && c <= 0x10FFFF);
}

std::size_t labels_size(std::span<const char32_t> labels) noexcept {
  std::size_t size = 0;
  for (const char32_t c : labels)
    size += char_size(c);
  return size;
}

/// The UTF-8 size of the labels of a trie in walk form, from its edges.
std::size_t layout_labels_size(const TrieView& trie, std::size_t edges) noexcept {
  std::size_t size = char_size(trie.root_label);
  const std::uint16_t* x = trie.edge_labels.data();
  for (std::size_t e = 0; e < edges; ++e)
    size += 1 + static_cast<std::size_t>(x[e] >= 0x80) + static_cast<std::size_t>(x[e] >= 0x800);
  // Each escaped edge was counted as 3 bytes.
  for (const WideLabel& w : trie.wide_labels)
    size = size - 3 + char_size(w.label);
  return size;
}

std::size_t u32_vector_size(std::span<const std::uint32_t> values) noexcept {
  return varint_size(values.size()) + u32s_size(values);
}

// ---------------------------------------------------------------- writing

/// Writes the UTF-8 form of `c` at `p`, which has room for 4 bytes; returns
/// the bytes written.
std::size_t put_char(std::uint8_t* p, char32_t c) noexcept {
  if (c < 0x80) {
    p[0] = static_cast<std::uint8_t>(c);
    return 1;
  }
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) [[unlikely]]
    c = kReplacementChar;
  if (c < 0x800) {
    p[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    p[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    p[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    p[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    p[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 3;
  }
  p[0] = static_cast<std::uint8_t>(0xF0 | (c >> 18));
  p[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
  p[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
  p[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  return 4;
}

// Each writer below takes its elements in chunks that the room left is sure
// to hold in their longest form (with the slack of the 8-byte stores), and
// writes a chunk through a raw pointer; only the last few elements of the
// output, where no such chunk fits, go through the checked writer.

void write_u32_vector(SpanWriter& out, std::span<const std::uint32_t> values) noexcept {
  write_varint(out, values.size());
  const std::uint32_t* v = values.data();
  std::size_t left = values.size();
  while (left != 0) {
    const std::size_t room = out.remaining();
    const std::size_t chunk = room < 8 ? 0 : std::min(left, (room - 3) / 5);
    if (chunk == 0)
      break;
    std::uint8_t* const start = out.cursor();
    std::uint8_t* p = start;
    for (std::size_t i = 0; i < chunk; ++i)
      p += put_u32_unchecked(p, v[i]);
    out.advance(static_cast<std::size_t>(p - start));
    v += chunk;
    left -= chunk;
  }
  for (; left != 0; --left)
    write_varint(out, *v++);
}

#if defined(__SSE2__)
/// Whether the 16 labels at `c` are all ASCII, with their bytes in `packed`.
bool ascii16(const char32_t* c, __m128i& packed) noexcept {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 8));
  const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 12));
  const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(d, e));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(any, _mm_set1_epi32(~0x7F)), _mm_setzero_si128())) != 0xFFFF)
    return false;
  // Every value is below 0x80, so the saturating packs keep it as it is.
  packed = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(d, e));
  return true;
}
#endif

void write_labels(SpanWriter& out, std::span<const char32_t> labels) noexcept {
  write_varint(out, labels.size());
  const char32_t* c = labels.data();
  std::size_t left = labels.size();
  while (left != 0) {
    const std::size_t chunk = std::min(left, out.remaining() / 4);
    if (chunk == 0)
      break;
    std::uint8_t* const start = out.cursor();
    std::uint8_t* p = start;
    std::size_t i = 0;
#if defined(__SSE2__)
    // 16 labels take at least 16 bytes, and the chunk has room for 4 each.
    for (; i + 16 <= chunk; i += 16) {
      __m128i packed;
      if (!ascii16(c + i, packed)) {
        for (std::size_t k = 0; k < 16; ++k)
          p += put_char(p, c[i + k]);
        continue;
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
      p += 16;
    }
#endif
    for (; i < chunk; ++i)
      p += put_char(p, c[i]);
    out.advance(static_cast<std::size_t>(p - start));
    c += chunk;
    left -= chunk;
  }
  for (; left != 0; --left) {
    std::array<std::uint8_t, 4> bytes;
    const std::size_t len = put_char(bytes.data(), *c++);
    out.put(std::span<const std::uint8_t>(bytes.data(), len));
  }
}

void write_flags(SpanWriter& out, std::span<const std::uint8_t> flags) noexcept {
  write_varint(out, flags.size());
  if (out.remaining() < flags.size()) [[unlikely]]
    std::abort();
  std::uint8_t* const p = out.cursor();
  for (std::size_t i = 0; i < flags.size(); ++i)
    p[i] = static_cast<std::uint8_t>(flags[i] != 0);
  out.advance(flags.size());
}

/// Writes `trie`, whose per-node labels are `labels`.
void write_trie(SpanWriter& out, const TrieView& trie, std::span<const char32_t> labels) noexcept {
  write_u32_vector(out, trie.node_shifts);
  write_labels(out, labels);
  write_u32_vector(out, trie.child_transitions);
  write_payloads(out, trie.payloads, trie.node_shifts, trie.child_transitions);
  write_varint(out, trie.video_uuids.size());
  if (!trie.video_uuids.empty())
    out.put(std::span<const std::uint8_t>(trie.video_uuids.front().data(), trie.video_uuids.size() * sizeof(VideoUuid)));
  write_u32_vector(out, trie.video_int_ids);
  write_varint(out, static_cast<std::uint32_t>(trie.id_mode));
  write_flags(out, trie.terminal_flags);
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

// Vector readers. A declared count is believed only as far as the input
// could hold it (Reader::reservation): that much is reserved up front, and
// storage is filled in runs that the remaining bytes are sure to cover, so a
// count larger than the input ends where element-by-element reading ends,
// with the same error, having touched no more memory than the elements that
// arrived. Each reader gives exactly the values and errors of reading the
// elements one by one: its unchecked route only takes input that is sure to
// be well-formed, and hands anything else to the checked route.

/// Reserves `n` elements of fresh storage for a vector about to be read.
template <class T>
void reserve_for_reading(std::vector<T>& out, std::size_t n) {
  out.reserve(n);
  advise_huge_pages(out.data(), out.capacity() * sizeof(T));
}

std::expected<void, DecodeError> read_u32_vector(Reader& in, std::vector<std::uint32_t>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  reserve_for_reading(out, in.reservation(count, 1));
  std::uint64_t left = count;
  while (left != 0) {
    const std::size_t avail = in.remaining();
    if (avail < u32s_read_bound(1))
      break;
    const std::size_t run = std::min({static_cast<std::size_t>(std::min<std::uint64_t>(left, kRun)),
                                      (avail - 3) / 5});
    const std::size_t at = out.size();
    out.resize(at + run);
    std::uint32_t* const dst = out.data() + at;
    const std::uint8_t* const end =
        decode_u32s_unchecked<true>(in.current(), run, [dst](std::size_t i, std::uint32_t v) { dst[i] = v; });
    if (end == nullptr) [[unlikely]] {
      // A marker a u32 cannot have: the checked route reads the run again
      // up to it and reports it.
      out.resize(at);
      break;
    }
    in.skip(static_cast<std::size_t>(end - in.current()));
    left -= run;
  }
  for (; left != 0; --left) {
    QV_TRY_ASSIGN(const std::uint32_t value, read_u32(in));
    out.push_back(value);
  }
  return {};
}

#if defined(__SSE2__)
/// Widens 16 ASCII bytes at `p` to 16 labels at `dst`; false when one of
/// them is not ASCII.
bool widen_ascii16(const std::uint8_t* p, char32_t* dst) noexcept {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if (_mm_movemask_epi8(bytes) != 0)
    return false;
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_unpacklo_epi8(bytes, zero);
  const __m128i hi = _mm_unpackhi_epi8(bytes, zero);
  auto* out = reinterpret_cast<__m128i*>(dst);
  _mm_storeu_si128(out, _mm_unpacklo_epi16(lo, zero));
  _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(lo, zero));
  _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(hi, zero));
  _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(hi, zero));
  return true;
}
#endif

std::expected<void, DecodeError> read_labels(Reader& in, std::vector<char32_t>& out) {
  QV_TRY_ASSIGN(const std::uint64_t count, read_u64(in));
  reserve_for_reading(out, in.reservation(count, 1));
  std::uint64_t left = count;
  while (left != 0) {
    // Runs that even 4-byte characters cannot take to the end of the input.
    const std::size_t run = std::min(static_cast<std::size_t>(std::min<std::uint64_t>(left, kRun)),
                                     in.remaining() / 4);
    if (run == 0)
      break;
    const std::size_t at = out.size();
    out.resize(at + run);
    char32_t* const dst = out.data() + at;
    std::size_t i = 0;
    while (i < run) {
#if defined(__SSE2__)
      // 16 labels in the run take at least its 16 next bytes.
      if (run - i >= 16 && widen_ascii16(in.current(), dst + i)) {
        in.skip(16);
        i += 16;
        continue;
      }
#endif
      if (*in.current() < 0x80) [[likely]] {
        dst[i++] = in.take_byte();
        continue;
      }
      QV_TRY_ASSIGN(dst[i], read_char_slow(in));
      ++i;
    }
    left -= run;
  }
  for (; left != 0; --left) {
    QV_TRY_ASSIGN(const char32_t c, read_char_slow(in));
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
  reserve_for_reading(out, whole);
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
  reserve_for_reading(out, present);
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

std::size_t encoded_size(const TrieView& trie) noexcept {
  const std::size_t labels = trie.tree ? varint_size(trie.node_count()) +
                                             layout_labels_size(trie, trie.child_transitions.size())
                                       : varint_size(trie.child_labels.size()) + labels_size(trie.child_labels);
  return u32_vector_size(trie.node_shifts) + labels +
         u32_vector_size(trie.child_transitions) + payloads_size(trie.payloads) +
         varint_size(trie.video_uuids.size()) + trie.video_uuids.size() * sizeof(VideoUuid) +
         u32_vector_size(trie.video_int_ids) + varint_size(static_cast<std::uint32_t>(trie.id_mode)) +
         varint_size(trie.terminal_flags.size()) + trie.terminal_flags.size();
}

void encode_into(const TrieView& trie, std::span<std::uint8_t> out) {
  advise_huge_pages(out.data(), out.size());
  SpanWriter writer(out);
  if (trie.tree)  // the per-node labels, made again from the edges
    write_trie(writer, trie, node_labels(trie.root_label, trie.edge_labels, trie.wide_labels, trie.child_transitions));
  else
    write_trie(writer, trie, trie.child_labels);
  // A span longer than the snapshot would leave bytes unwritten.
  if (writer.remaining() != 0) [[unlikely]]
    std::abort();
}

std::size_t encoded_size(const Trie& trie) noexcept { return encoded_size(TrieView(trie)); }

void encode_into(const Trie& trie, std::span<std::uint8_t> out) { encode_into(TrieView(trie), out); }

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
  QV_TRY(decode_payloads(in, trie.payloads, trie.node_shifts, trie.child_transitions));
  QV_TRY(read_uuids(in, trie.video_uuids));
  QV_TRY(read_u32_vector(in, trie.video_int_ids));
  QV_TRY_ASSIGN(trie.id_mode, read_id_mode(in));
  QV_TRY(read_flags(in, trie.terminal_flags));
  trie.derive_layout();
  return trie;
}

}  // namespace quorvatel::snapshot

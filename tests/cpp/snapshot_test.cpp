#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "payload/payload_codec.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/varint.hpp"
#include "core/result.hpp"
#include "plain_codec.hpp"
#include "random_trie.hpp"
#include "test_support.hpp"

namespace quorvatel::snapshot {
inline void PrintTo(const DecodeError& e, std::ostream* os) {
  *os << to_string(e);
}
}  // namespace quorvatel::snapshot

namespace quorvatel {
namespace {

using snapshot::decode;
using snapshot::DecodeErrorKind;
using snapshot::encode;
using testing::payload;
using Bytes = std::vector<std::uint8_t>;
using testing::Rng;

/// "02 00 C3" -> {0x02, 0x00, 0xC3}.
Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

/// The printed error of decoding `bytes`, or "ok".
std::string decode_outcome(const Bytes& bytes) {
  const auto t = decode(bytes);
  return t ? "ok" : to_string(t.error());
}

// Two nodes storing "é" with one Int32 video.
Trie e_acute_trie() {
  Trie t;
  t.node_shifts = {0, 1};
  t.child_labels = {0, U'\u00E9'};
  t.child_transitions = {1};
  t.payloads.push(payload(3, {0}, {3}));
  t.payloads.push(payload(3, {0}, {3}));
  t.video_int_ids = {1000};
  t.id_mode = IdMode::Int32;
  t.terminal_flags = {0, 1};
  return t;
}

const Bytes kEAcute =
    hex("02 00 01  02 00 C3 A9  01 01  02 01 03 01 00 01 03 01 03 01 00 01 03  00  01 FB E8 03  01  02 00 01");
const Bytes kAbAc =
    hex("04 00 01 03 03  04 00 61 62 63  03 01 02 03  04 01 08 02 00 01 02 06 02 01 08 02 00 01 02 06 02 "
        "01 05 01 00 01 05 01 03 02 01 00 02 02 01  00  02 01 02  01  04 00 00 01 01");

TEST(Snapshot, WorkedExamplesByteForByte) {
  ASSERT_EQ(kEAcute.size(), 31u);
  ASSERT_EQ(kAbAc.size(), 55u);
  EXPECT_EQ(encode(e_acute_trie()), kEAcute);
  EXPECT_EQ(snapshot::encoded_size(e_acute_trie()), 31u);
  EXPECT_EQ(decode(kEAcute), e_acute_trie());
  EXPECT_EQ(encode(testing::ab_ac_trie()), kAbAc);
  EXPECT_EQ(decode(kAbAc), testing::ab_ac_trie());

  Trie uuid = e_acute_trie();
  uuid.video_int_ids.clear();
  uuid.video_uuids = {
      VideoUuid{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}};
  uuid.id_mode = IdMode::Uuid;
  const Bytes uuid_bytes =
      hex("02 00 01  02 00 C3 A9  01 01  02 01 03 01 00 01 03 01 03 01 00 01 03 "
          "01 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F  00  00  02 00 01");
  EXPECT_EQ(encode(uuid), uuid_bytes);
  EXPECT_EQ(decode(uuid_bytes), uuid);
}

TEST(Snapshot, TrailingBytesIgnored) {
  const auto t = decode(kEAcute + hex("FF FF"));
  ASSERT_TRUE(t);
  EXPECT_EQ(encode(*t), kEAcute);
}

TEST(Snapshot, NonShortestFormsAccepted) {
  Bytes mode = kEAcute;
  mode.erase(mode.begin() + 27);
  const Bytes long_mode(mode.begin(), mode.begin() + 27);
  const auto t = decode(long_mode + hex("FB 01 00") + Bytes(mode.begin() + 27, mode.end()));
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, e_acute_trie());

  EXPECT_EQ(decode(Bytes(8, 0)), Trie{});
  EXPECT_EQ(decode(hex("FB 00 00") + Bytes(7, 0)), Trie{});
  // Every length in its 9-byte form, every u32 in its 5-byte form.
  EXPECT_EQ(decode(hex("FD 01 00 00 00 00 00 00 00 FC 07 00 00 00") + Bytes(7, 0))->node_shifts,
            std::vector<std::uint32_t>{7});
}

// The unchecked fields are stored as they are: lengths that disagree, an edge
// target past the nodes, ragged and absent payloads.
TEST(Snapshot, InconsistentTrieRoundTrips) {
  Trie t;
  t.node_shifts = {5, 0, 9};
  t.child_labels = {U'x'};
  t.child_transitions = {70000};
  const std::vector<std::uint32_t> three{1, 2, 3}, one{7}, none{};
  t.payloads.push(9, three, one);
  t.payloads.push_absent();
  t.payloads.push(0, none, three);
  t.video_uuids = {VideoUuid{}};
  t.video_int_ids = {4};
  t.terminal_flags = {1, 0, 1, 1, 0};
  const Bytes bytes = encode(t);
  const auto back = decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, t);
  EXPECT_EQ(back->payloads.payload(0), payload(9, {1, 2, 3}, {7}));
  EXPECT_EQ(back->payloads.payload(2), payload(0, {}, {1, 2, 3}));
  EXPECT_EQ(encode(*back), bytes);

  // Hand-written: one payload with two ids and no counts.
  const Bytes ragged = hex("00 00 00 01 01 07 02 05 06 00  00 00 00 00");
  const auto r = decode(ragged);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->payloads.payload(0), payload(7, {5, 6}, {}));
  EXPECT_EQ(encode(*r), ragged);
}

TEST(Snapshot, UnwritableValuesAreNormalised) {
  Trie t;
  t.child_labels = {0xD800, 0x110000, 0x10FFFF};
  t.terminal_flags = {2};
  const Bytes bytes = encode(t);
  EXPECT_EQ(bytes, hex("00 03 EF BF BD EF BF BD F4 8F BF BF 00 00 00 00 00 01 01"));
  const auto back = decode(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->child_labels, (std::vector<char32_t>{0xFFFD, 0xFFFD, 0x10FFFF}));
  EXPECT_EQ(back->terminal_flags, std::vector<std::uint8_t>{1});
}

// A span of the wrong size is a sizing bug: the writer stops rather than
// write outside it or hand back unset bytes.
TEST(SnapshotDeathTest, EncodeIntoWrongSizeStops) {
  const Trie t = e_acute_trie();
  Bytes short_buffer(kEAcute.size() - 1), long_buffer(kEAcute.size() + 1);
  EXPECT_DEATH(snapshot::encode_into(t, short_buffer), "");
  EXPECT_DEATH(snapshot::encode_into(t, long_buffer), "");
}

struct CharCase {
  char32_t c;
  const char* utf8;
};

class SnapshotChars : public ::testing::TestWithParam<CharCase> {};

TEST_P(SnapshotChars, EncodeAtFormBoundaries) {
  Trie t;
  t.child_labels = {GetParam().c};
  const Bytes bytes = hex("00 01") + hex(GetParam().utf8) + Bytes(6, 0);
  EXPECT_EQ(encode(t), bytes);
  EXPECT_EQ(decode(bytes), t);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SnapshotChars,
                         ::testing::Values(CharCase{0, "00"}, CharCase{0x7F, "7F"}, CharCase{0x80, "C2 80"},
                                           CharCase{0x7FF, "DF BF"}, CharCase{0x800, "E0 A0 80"},
                                           CharCase{0xD7FF, "ED 9F BF"}, CharCase{0xE000, "EE 80 80"},
                                           CharCase{0xFFFF, "EF BF BF"}, CharCase{0x10000, "F0 90 80 80"},
                                           CharCase{0x10FFFF, "F4 8F BF BF"}));

struct ErrorCase {
  const char* name;
  Bytes bytes;
  std::string printed;
};

class SnapshotErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SnapshotErrors, PrintsExactly) {
  EXPECT_EQ(decode_outcome(GetParam().bytes), GetParam().printed);
}

Bytes with_byte(Bytes b, std::size_t i, std::uint8_t v) {
  b[i] = v;
  return b;
}

const std::string kEnd1 = "UnexpectedEnd { additional: 1 }";
const std::string kPayloadTag2 =
    "UnexpectedVariant { type_name: \"core::option::Option<quorvatel::payload::Payload>\", allowed: Range { min: 0, "
    "max: 1 }, found: 2 }";

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotErrors,
    ::testing::Values(
        ErrorCase{"Empty", {}, kEnd1}, ErrorCase{"MissingLastFlag", Bytes(kEAcute.begin(), kEAcute.end() - 1), kEnd1},
        ErrorCase{"IdModeTwo", with_byte(kEAcute, 27, 2),
                  "UnexpectedVariant { type_name: \"IdMode\", allowed: Range { min: 0, max: 1 }, found: 2 }"},
        ErrorCase{"IdModeLongForm", hex("00 00 00 00 00 00 FD 01 00 00 00 00 00 00 00 00"),
                  "InvalidIntegerType { expected: U32, found: U64 }"},
        ErrorCase{"LengthReserved", hex("FF"), "InvalidIntegerType { expected: U64, found: Reserved }"},
        ErrorCase{"LengthU128", hex("FE"), "InvalidIntegerType { expected: U64, found: U128 }"},
        ErrorCase{"LengthCut", hex("FD 01 00"), "UnexpectedEnd { additional: 6 }"},
        ErrorCase{"IntIdU64", hex("00 00 00 00 00 01 FD 01 00 00 00 00 00 00 00 00"),
                  "InvalidIntegerType { expected: U32, found: U64 }"},
        ErrorCase{"ShiftU128", hex("01 FE"), "InvalidIntegerType { expected: U32, found: U128 }"},
        ErrorCase{"ShiftReserved", hex("01 FF 00 00 00 00 00 00 00 00"),
                  "InvalidIntegerType { expected: U32, found: Reserved }"},
        ErrorCase{"ShiftU16Cut", hex("01 FB 01"), kEnd1},
        ErrorCase{"ShiftU32Cut", hex("01 FC 01"), "UnexpectedEnd { additional: 3 }"},
        ErrorCase{"ContinuationLead", hex("00 01 80"), "InvalidCharEncoding([128, 0, 0, 0])"},
        ErrorCase{"OverlongLead", hex("00 01 C1 81"), "InvalidCharEncoding([193, 0, 0, 0])"},
        ErrorCase{"LeadPastF4", hex("00 01 F5 80 80 80"), "InvalidCharEncoding([245, 0, 0, 0])"},
        ErrorCase{"TwoByteCut", hex("00 01 C3"), kEnd1},
        ErrorCase{"FourByteCut", hex("00 01 F0 9F"), "UnexpectedEnd { additional: 2 }"},
        // the length is known from the lead byte: a cut sequence is short even when what is there is invalid
        ErrorCase{"CutBeforeBadContinuation", hex("00 01 E0 41"), kEnd1},
        ErrorCase{"Surrogate", hex("00 01 ED A0 80"), "InvalidCharEncoding([237, 160, 128, 0])"},
        ErrorCase{"Overlong3", hex("00 01 E0 80 80"), "InvalidCharEncoding([224, 128, 128, 0])"},
        ErrorCase{"Overlong4", hex("00 01 F0 8F BF BF"), "InvalidCharEncoding([240, 143, 191, 191])"},
        ErrorCase{"AboveMax", hex("00 01 F4 90 80 80"), "InvalidCharEncoding([244, 144, 128, 128])"},
        ErrorCase{"BadSecondContinuation", hex("00 01 E2 82 41"), "InvalidCharEncoding([226, 130, 65, 0])"},
        ErrorCase{"UuidCut", hex("00 00 00 00 01 AA BB CC DD EE"), "UnexpectedEnd { additional: 11 }"},
        ErrorCase{"PayloadTag", hex("00 00 00 01 02"), kPayloadTag2},
        ErrorCase{"PayloadTagMissing", hex("00 00 00 01"), kEnd1},
        ErrorCase{"PayloadCountsCut", hex("00 00 00 01 01 03 01 00 02 05"), kEnd1},
        ErrorCase{"FlagTwo", hex("00 00 00 00 00 00 00 01 02"), "InvalidBooleanValue(2)"},
        // a wrong flag is reported before the end of the input behind it
        ErrorCase{"FlagTwoThenEnd", hex("00 00 00 00 00 00 00 03 02"), "InvalidBooleanValue(2)"}),
    [](const auto& p) { return std::string(p.param.name); });

// A declared count is not compared with the input; the elements run out
// where element-by-element reading runs out.
const Bytes kHugeCount = hex("FD FF FF FF FF FF FF FF FF");

INSTANTIATE_TEST_SUITE_P(
    HugeCounts, SnapshotErrors,
    ::testing::Values(
        ErrorCase{"NodeShifts", kHugeCount + hex("01 02 03"), kEnd1},
        ErrorCase{"NodeShiftsBadElement", kHugeCount + hex("01 FE 00 00 00 00 00 00 00 00"),
                  "InvalidIntegerType { expected: U32, found: U128 }"},
        ErrorCase{"NodeShiftsLongInput", kHugeCount + Bytes(1 << 20, 7), kEnd1},
        ErrorCase{"Labels", hex("00") + kHugeCount + hex("61 C3 A9"), kEnd1},
        ErrorCase{"Transitions", hex("00 00") + kHugeCount, kEnd1},
        ErrorCase{"Payloads", hex("00 00 00") + kHugeCount + hex("00 01 00 00 00"), kEnd1},
        ErrorCase{"Uuids", hex("00 00 00 00") + kHugeCount + Bytes(20, 1), "UnexpectedEnd { additional: 12 }"},
        ErrorCase{"IntIds", Bytes(5, 0) + kHugeCount + hex("FB 01"), kEnd1},
        ErrorCase{"Flags", Bytes(7, 0) + kHugeCount + hex("01 00 01"), kEnd1},
        ErrorCase{"FlagsLongInput", Bytes(7, 0) + kHugeCount + Bytes(1 << 20, 1), kEnd1},
        ErrorCase{"PayloadIds", hex("00 00 00 01 01 05") + kHugeCount + hex("01"), kEnd1},
        ErrorCase{"PayloadCounts", hex("00 00 00 01 01 05 00") + kHugeCount + hex("01 02"), kEnd1},
        ErrorCase{"PayloadCountsLongInput", hex("00 00 00 01 01 05 00") + kHugeCount + Bytes(1 << 20, 3), kEnd1}),
    [](const auto& p) { return std::string(p.param.name); });

// ------------------------------------------------------------------ varints

struct VarintForm {
  std::uint64_t value;
  const char* bytes;
};

class VarintForms : public ::testing::TestWithParam<VarintForm> {};

TEST_P(VarintForms, ShortestFormAndBack) {
  const Bytes bytes = hex(GetParam().bytes);
  snapshot::CountingWriter counter;
  snapshot::write_varint(counter, GetParam().value);
  EXPECT_EQ(counter.size(), bytes.size());
  EXPECT_EQ(snapshot::varint_size(GetParam().value), bytes.size());
  Bytes written(bytes.size());
  snapshot::SpanWriter writer(written);
  snapshot::write_varint(writer, GetParam().value);
  EXPECT_EQ(written, bytes);

  // Exactly the form (byte-by-byte route) and with room behind it (fast route).
  for (const Bytes& input : {bytes, bytes + Bytes(8, 0xAA)}) {
    snapshot::Reader in(input);
    EXPECT_EQ(snapshot::read_u64(in), GetParam().value);
    EXPECT_EQ(in.position(), bytes.size());
    if (GetParam().value <= 0xFFFF'FFFF) {
      snapshot::Reader in32(input);
      EXPECT_EQ(snapshot::read_u32(in32), GetParam().value);
      EXPECT_EQ(in32.position(), bytes.size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, VarintForms,
                         ::testing::Values(VarintForm{0, "00"}, VarintForm{250, "FA"}, VarintForm{251, "FB FB 00"},
                                           VarintForm{1000, "FB E8 03"}, VarintForm{65535, "FB FF FF"},
                                           VarintForm{65536, "FC 00 00 01 00"},
                                           VarintForm{4294967295u, "FC FF FF FF FF"},
                                           VarintForm{4294967296u, "FD 00 00 00 00 01 00 00 00"},
                                           VarintForm{~0ull, "FD FF FF FF FF FF FF FF FF"}));

struct VarintRead {
  const char* bytes;
  bool wide;
  std::string outcome;  // the value in decimal, or the printed error
  std::size_t consumed;
};

class VarintReads : public ::testing::TestWithParam<VarintRead> {};

std::string read_outcome(const Bytes& input, bool wide, std::size_t& consumed) {
  snapshot::Reader in(input);
  std::string out;
  if (wide) {
    const auto v = snapshot::read_u64(in);
    out = v ? std::to_string(*v) : to_string(v.error());
  } else {
    const auto v = snapshot::read_u32(in);
    out = v ? std::to_string(*v) : to_string(v.error());
  }
  consumed = in.position();
  return out;
}

TEST_P(VarintReads, BothRoutesAgree) {
  const Bytes bytes = hex(GetParam().bytes);
  std::size_t consumed = 0;
  EXPECT_EQ(read_outcome(bytes, GetParam().wide, consumed), GetParam().outcome);
  if (GetParam().outcome.starts_with("UnexpectedEnd"))
    return;  // more input would complete it
  EXPECT_EQ(consumed, GetParam().consumed);
  EXPECT_EQ(read_outcome(bytes + Bytes(9, 0), GetParam().wide, consumed), GetParam().outcome);
  if (std::isdigit(GetParam().outcome[0])) {
    EXPECT_EQ(consumed, GetParam().consumed);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VarintReads,
    ::testing::Values(VarintRead{"FB 05 00", false, "5", 3}, VarintRead{"FC 00 00 00 00", false, "0", 5},
                      VarintRead{"FC 05 00 00 00", true, "5", 5},
                      VarintRead{"FD 05 00 00 00 00 00 00 00", true, "5", 9},
                      VarintRead{"FD", false, "InvalidIntegerType { expected: U32, found: U64 }", 1},
                      VarintRead{"FE", false, "InvalidIntegerType { expected: U32, found: U128 }", 1},
                      VarintRead{"FE", true, "InvalidIntegerType { expected: U64, found: U128 }", 1},
                      VarintRead{"FF", true, "InvalidIntegerType { expected: U64, found: Reserved }", 1},
                      VarintRead{"", true, "UnexpectedEnd { additional: 1 }", 0},
                      VarintRead{"FB", false, "UnexpectedEnd { additional: 2 }", 0},
                      VarintRead{"FC 01 02 03", false, "UnexpectedEnd { additional: 1 }", 0},
                      VarintRead{"FD 01 02 03 04 05 06 07", true, "UnexpectedEnd { additional: 1 }", 0}));

// ---------------------------------------------------------- random tries

TEST(SnapshotProperty, RandomTriesRoundTrip) {
  Rng rng{std::mt19937(20240611)};
  for (int i = 0; i < 400; ++i) {
    const Trie t = testing::random_fields(rng);
    const Bytes bytes = encode(t);
    ASSERT_EQ(snapshot::encoded_size(t), bytes.size());
    ASSERT_EQ(bytes, testing::plain::encode(t)) << "trie " << i;
    const auto back = decode(bytes);
    ASSERT_TRUE(back) << "trie " << i << ": " << to_string(back.error());
    ASSERT_EQ(*back, t) << "trie " << i;
    ASSERT_EQ(encode(*back), bytes) << "trie " << i;
  }
}

TEST(SnapshotProperty, EveryStrictPrefixEndsUnexpectedly) {
  Rng rng{std::mt19937(7)};
  std::vector<Bytes> snapshots{kEAcute, kAbAc};
  for (int i = 0; i < 30; ++i)
    snapshots.push_back(encode(testing::random_fields(rng)));
  for (const Bytes& full : snapshots) {
    for (std::size_t len = 0; len < full.size(); ++len) {
      const auto t = decode(std::span(full).first(len));
      ASSERT_FALSE(t) << "prefix of " << len << " of " << full.size() << " bytes decoded";
      ASSERT_EQ(t.error().kind, DecodeErrorKind::UnexpectedEnd) << to_string(t.error());
      ASSERT_GE(t.error().additional, 1u);
    }
  }
}


// ------------------------------------------------ fast routes, plain codec
//
// The codec takes runs of items through raw pointers (with look-ahead loads
// and 8-byte stores) and hands anything unusual, and the last bytes of the
// input or output, to item-by-item routes. The plain codec (plain_codec.hpp)
// is what both routes must agree with: the same bytes, the same tries, the
// same errors.



/// The outcome of decoding: the trie, or the error.
using Outcome = std::expected<Trie, snapshot::DecodeError>;

::testing::AssertionResult same_outcome(const Outcome& fast, const Outcome& reference) {
  if (fast.has_value() != reference.has_value())
    return ::testing::AssertionFailure() << "decode gives " << (fast ? "a trie" : to_string(fast.error()))
                                       << ", the plain decoder " << (reference ? "a trie" : to_string(reference.error()));
  if (!fast && !(fast.error() == reference.error()))
    return ::testing::AssertionFailure() << "decode gives " << to_string(fast.error()) << ", the plain decoder "
                                       << to_string(reference.error());
  if (fast && !(*fast == *reference))
    return ::testing::AssertionFailure() << "the tries differ";
  return ::testing::AssertionSuccess();
}

TEST(SnapshotRoutes, LargeTriesMatchThePlainCodec) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    Rng rng{std::mt19937(seed)};
    const Trie t = testing::large_fields(rng, 20'000 + 7 * seed);
    const Bytes bytes = encode(t);
    ASSERT_EQ(bytes, testing::plain::encode(t)) << "seed " << seed;
    EXPECT_EQ(snapshot::encoded_size(t), bytes.size());
    const auto back = decode(bytes);
    ASSERT_TRUE(back) << to_string(back.error());
    EXPECT_EQ(*back, t);
    EXPECT_TRUE(same_outcome(back, testing::plain::decode(bytes)));

    // Every varint in a form chosen at random among those that hold it.
    Rng forms{std::mt19937(seed + 100)};
    const Bytes long_forms = testing::plain::encode(t, std::ref(forms));
    ASSERT_NE(long_forms, bytes);
    EXPECT_TRUE(same_outcome(decode(long_forms), Outcome(t)));
  }
}

TEST(SnapshotRoutes, DamagedLargeSnapshotsFailAsThePlainDecoderDoes) {
  Rng rng{std::mt19937(99)};
  const Trie t = testing::large_fields(rng, 2'000);
  const Bytes bytes = encode(t);
  // Every cut in the last 600 bytes (where the item-by-item routes take
  // over) and a spread of cuts everywhere else.
  for (std::size_t len = bytes.size() - 600; len < bytes.size(); ++len)
    ASSERT_TRUE(same_outcome(decode(std::span(bytes).first(len)), testing::plain::decode(std::span(bytes).first(len))))
        << "cut to " << len;
  for (int i = 0; i < 300; ++i) {
    const std::size_t len = rng() % bytes.size();
    ASSERT_TRUE(same_outcome(decode(std::span(bytes).first(len)), testing::plain::decode(std::span(bytes).first(len))))
        << "cut to " << len;
  }
  // One byte changed, to values that turn a marker, a tag, a lead byte or a
  // flag into something else.
  const std::uint8_t values[] = {0, 1, 2, 0x7F, 0x80, 0xC3, 0xED, 0xF4, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
  for (int i = 0; i < 1200; ++i) {
    Bytes damaged = bytes;
    const std::size_t at = rng() % damaged.size();
    damaged[at] = values[rng() % std::size(values)];
    ASSERT_TRUE(same_outcome(decode(damaged), testing::plain::decode(damaged))) << "byte " << at << " set to "
                                                                         << int{damaged[at]};
  }
}

// The entries' storage is sized from a guess made while the payloads are
// read; tries whose lists grow or shrink along the field make the guess fall
// short or run over. Either way the trie is the same, and the storage left
// over is at most a quarter entry per slot.
TEST(SnapshotRoutes, EntryStorageFollowsTheLists) {
  for (const bool growing : {true, false}) {
    Trie t;
    const std::size_t slots = 40'000;
    for (std::size_t i = 0; i < slots; ++i) {
      const bool late = i >= slots / 2;
      const std::size_t n = late == growing ? 12 : 1;
      const std::vector<std::uint32_t> ids(n, 300 + static_cast<std::uint32_t>(i)), counts(n, 7);
      t.payloads.push(1, ids, counts);
    }
    t.terminal_flags.assign(slots, 1);
    const auto back = decode(encode(t));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, t);
    const std::size_t entries = back->payloads.entry_count();
    // Per slot its record number, and per record (here one a slot, plus the
    // closing one) its count and first entry.
    const std::size_t slot_arrays = slots * sizeof(std::uint32_t) + (slots + 1) * sizeof(PayloadRecord);
    EXPECT_LE(back->payloads.memory_bytes(), slot_arrays + entries * sizeof(VideoEntry) + slots / 4 * sizeof(VideoEntry))
        << (growing ? "growing" : "shrinking") << " lists";
  }
}
}  // namespace
}  // namespace quorvatel

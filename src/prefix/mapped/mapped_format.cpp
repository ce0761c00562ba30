#include "prefix/mapped/mapped_format.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <format>
#include <type_traits>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorvatel::mapped {
namespace {

constexpr std::array<char, 8> kMagic = {'Q', 'V', 'M', 'A', 'P', '\r', '\n', '\x1a'};

constexpr std::uint32_t kFlagTree = 1;           ///< the arrays are the walk form of a proven tree
constexpr std::uint32_t kFlagBoundsUsable = 2;  ///< the bounds sections hold bounds, not a problem
constexpr std::uint32_t kKnownFlags = kFlagTree | kFlagBoundsUsable;

struct SectionEntry {
  std::uint64_t offset;
  std::uint64_t size;
};

struct Header {
  std::array<char, 8> magic;
  std::uint32_t version;
  std::uint32_t byte_order;
  std::uint32_t flags;
  std::uint32_t section_count;
  std::uint64_t file_size;
  std::uint64_t checksum;  ///< of the whole file, this field read as zero
  std::uint64_t nodes;
  std::uint64_t slots;
  std::uint64_t entry_count;
  std::uint32_t id_mode;
  std::uint32_t root_label;
  std::uint8_t slot_width;
  std::uint8_t id_bytes;
  std::uint8_t count_bytes;
  std::array<std::uint8_t, 5> reserved;
  std::array<SectionEntry, kSectionCount> sections;
  std::array<std::uint8_t, 48> padding;
};
constexpr std::size_t kHeaderSize = 384;
static_assert(sizeof(Header) == kHeaderSize && kHeaderSize % kSectionAlign == 0);
static_assert(std::has_unique_object_representations_v<Header>, "no padding: every header byte is written");
static_assert(std::is_trivially_copyable_v<Header>);

/// An uneven record as the file stores it: 24 bytes, the record number, 4
/// zero bytes, then the two lengths; RaggedRecord reads it in place.
constexpr std::size_t kRaggedSize = 24;
static_assert(sizeof(RaggedRecord) == kRaggedSize && offsetof(RaggedRecord, record) == 0 &&
              offsetof(RaggedRecord, ids_len) == 8 && offsetof(RaggedRecord, counts_len) == 16);
static_assert(sizeof(WideLabel) == 8 && sizeof(PayloadRecord) == 8 && sizeof(VideoUuid) == 16);

constexpr std::array<std::size_t, kSectionCount> kElementSize = {
    4,  // NodeShifts
    4,  // ChildLabels
    4,  // ChildTransitions
    2,  // EdgeLabels
    8,  // WideLabels
    1,  // EdgeHeights
    1,  // TerminalFlags
    1,  // SlotBytes
    8,  // Records
    1,  // EntryBytes
    kRaggedSize,
    16,  // VideoUuids
    4,   // VideoIntIds
    4,   // BoundBest
    4,   // BoundRanks
    1,   // BoundsProblem
};

constexpr std::array<std::string_view, kSectionCount> kSectionNames = {
    "node_shifts",   "child_labels", "child_transitions", "edge_labels", "wide_labels",   "edge_heights",
    "terminal_flags", "payload_slots", "payload_records", "payload_entries", "uneven_records", "video_uuids",
    "video_int_ids", "bound_counts", "text_ranks",        "bounds_problem",
};

constexpr std::size_t index(Section s) noexcept { return static_cast<std::size_t>(s); }

constexpr std::size_t align_up(std::size_t x) noexcept { return (x + kSectionAlign - 1) / kSectionAlign * kSectionAlign; }

template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

// ---------------------------------------------------------------- writing

/// One section's contents: `body` then `zeros` zero bytes.
struct Piece {
  std::span<const std::uint8_t> body;
  std::size_t zeros = 0;

  [[nodiscard]] std::size_t size() const noexcept { return body.size() + zeros; }
};

/// `stored` cut or completed with zeros to `body` bytes, then `tail` zeros:
/// the writer never reads past what it is given, whatever a view holds.
Piece sized(std::span<const std::uint8_t> stored, std::size_t body, std::size_t tail) noexcept {
  const std::size_t have = std::min(stored.size(), body);
  return {stored.first(have), body - have + tail};
}

struct Plan {
  Header header{};
  std::array<Piece, kSectionCount> pieces{};
  std::vector<std::uint8_t> ragged;  ///< the uneven records in their file form
};

Plan make_plan(const TrieView& trie, const complete::SubtreeBoundsView& bounds) {
  Plan plan;
  Header& h = plan.header;
  h.magic = kMagic;
  h.version = kFormatVersion;
  h.byte_order = kByteOrderMark;
  h.flags = (trie.tree ? kFlagTree : 0) | (bounds.usable() ? kFlagBoundsUsable : 0);
  h.section_count = kSectionCount;
  h.nodes = trie.node_count();
  const PayloadTableView& payloads = trie.payloads;
  h.slots = payloads.size();
  h.entry_count = payloads.entry_count();
  h.id_mode = static_cast<std::uint32_t>(trie.id_mode);
  h.root_label = trie.tree ? static_cast<std::uint32_t>(trie.root_label) : 0;
  h.slot_width = payloads.slot_records().width();
  h.id_bytes = payloads.packing().id_bytes;
  h.count_bytes = payloads.packing().count_bytes;

  auto& p = plan.pieces;
  p[index(Section::NodeShifts)] = {bytes_of(trie.node_shifts)};
  p[index(Section::ChildTransitions)] = {bytes_of(trie.child_transitions)};
  if (trie.tree) {
    const std::size_t m = trie.child_transitions.size();
    p[index(Section::EdgeLabels)] = sized(bytes_of(trie.edge_labels), m * 2, kEdgeLabelBlock * 2);
    p[index(Section::WideLabels)] = {bytes_of(trie.wide_labels)};
    p[index(Section::EdgeHeights)] = sized(trie.edge_heights, m, 0);
  } else {
    p[index(Section::ChildLabels)] = {bytes_of(trie.child_labels)};
  }
  p[index(Section::TerminalFlags)] = {trie.terminal_flags};
  p[index(Section::SlotBytes)] = sized(payloads.slot_bytes(), payloads.size() * h.slot_width, SlotRecords::kSlack);
  p[index(Section::Records)] = {bytes_of(payloads.records())};
  p[index(Section::EntryBytes)] =
      sized(payloads.entry_bytes(), payloads.entry_count() * payloads.packing().stride(), kEntrySlack);
  plan.ragged.assign(payloads.ragged().size() * kRaggedSize, 0);
  for (std::size_t i = 0; i < payloads.ragged().size(); ++i) {
    const RaggedRecord& g = payloads.ragged()[i];
    std::uint8_t* at = plan.ragged.data() + i * kRaggedSize;
    std::memcpy(at, &g.record, sizeof g.record);
    std::memcpy(at + 8, &g.ids_len, sizeof g.ids_len);
    std::memcpy(at + 16, &g.counts_len, sizeof g.counts_len);
  }
  p[index(Section::Ragged)] = {plan.ragged};
  p[index(Section::VideoUuids)] = {bytes_of(trie.video_uuids)};
  p[index(Section::VideoIntIds)] = {bytes_of(trie.video_int_ids)};
  if (bounds.usable()) {
    p[index(Section::BoundBest)] = {bytes_of(bounds.best)};
    p[index(Section::BoundRanks)] = {bytes_of(bounds.ranks)};
  } else {
    p[index(Section::BoundsProblem)] = {std::span(reinterpret_cast<const std::uint8_t*>(bounds.problem.data()),
                                                  std::min(bounds.problem.size(), kMaxProblemBytes))};
  }

  std::size_t at = kHeaderSize;
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    at = align_up(at);
    h.sections[s] = {at, p[s].size()};
    at += p[s].size();
  }
  h.file_size = at;
  return plan;
}

/// Hands the file's bytes to `sink` in order, from the header on.
template <class Sink>
bool emit(const Plan& plan, Sink&& sink) {
  static constexpr std::array<std::uint8_t, kSectionAlign> kZeros{};
  auto zeros = [&](std::size_t k) {
    while (k != 0) {
      const std::size_t run = std::min(k, kZeros.size());
      if (!sink(std::span<const std::uint8_t>(kZeros.data(), run)))
        return false;
      k -= run;
    }
    return true;
  };
  if (!sink(std::span(reinterpret_cast<const std::uint8_t*>(&plan.header), kHeaderSize)))
    return false;
  std::size_t at = kHeaderSize;
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    const SectionEntry& entry = plan.header.sections[s];
    if (!zeros(entry.offset - at))
      return false;
    const Piece& piece = plan.pieces[s];
    if (!piece.body.empty() && !sink(piece.body))
      return false;
    if (!zeros(piece.zeros))
      return false;
    at = entry.offset + entry.size;
  }
  return true;
}

std::uint64_t checksum_of(const Plan& plan) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  emit(plan, [&](std::span<const std::uint8_t> bytes) {
    XXH3_64bits_update(&state, bytes.data(), bytes.size());
    return true;
  });
  return XXH3_64bits_digest(&state);
}

Plan final_plan(const TrieView& trie, const complete::SubtreeBoundsView& bounds) {
  Plan plan = make_plan(trie, bounds);
  plan.header.checksum = checksum_of(plan);  // computed with the field at zero
  return plan;
}

// ---------------------------------------------------------------- opening

std::unexpected<OpenError> fail(Problem problem, std::string detail) {
  return std::unexpected(OpenError{problem, std::move(detail)});
}

template <class T>
std::span<const T> section(std::span<const std::uint8_t> file, const Header& h, Section s) noexcept {
  const SectionEntry& entry = h.sections[index(s)];
  return {reinterpret_cast<const T*>(file.data() + entry.offset), static_cast<std::size_t>(entry.size / sizeof(T))};
}

/// What the walk over the walk form reads without checks (see view.hpp):
/// one node range, payload slot and terminal flag a node, one edge less than
/// nodes, ranges that start at 0, never decrease and end inside the edges,
/// every child a node, edge labels with their zero block, and a wide label
/// for exactly the escaped edges, in edge order. Sequential passes without
/// branches that depend on the data, so they run at memory speed; where a
/// pass finds a fault, a second one names it. Whether the arrays are a tree
/// (every edge to a later node, no node entered twice) is proved only when
/// a search that ranks whole subtrees first needs it (searchable_problem).
std::string walk_form_problem(const TrieView& t) {
  const std::size_t n = t.nodes;
  const std::size_t m = t.child_transitions.size();
  if (n == 0 || t.node_shifts.size() != n || t.payloads.size() != n || t.terminal_flags.size() != n || m != n - 1)
    return std::format("a tree of {} nodes needs as many node ranges, payload slots and terminal flags and one edge "
                       "less, not {}, {}, {} and {}",
                       n, t.node_shifts.size(), t.payloads.size(), t.terminal_flags.size(), m);
  if (t.edge_labels.size() != m + kEdgeLabelBlock || t.edge_heights.size() != m)
    return std::format("{} edge labels and {} heights for {} edges", t.edge_labels.size(), t.edge_heights.size(), m);
  const std::uint32_t* shifts = t.node_shifts.data();
  const std::uint32_t* kids = t.child_transitions.data();
  std::uint32_t backwards = 0;
  for (std::size_t i = 1; i < n; ++i)
    backwards |= static_cast<std::uint32_t>(shifts[i] < shifts[i - 1]);
  if (shifts[0] != 0 || shifts[n - 1] > m || backwards != 0) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t begin = shifts[i];
      const std::size_t end = i + 1 < n ? shifts[i + 1] : m;
      if ((i == 0 && begin != 0) || end < begin || end > m)
        return std::format("node {}'s range {}..{} does not follow the one before or runs past the {} edges", i,
                           begin, end, m);
    }
  }
  std::uint32_t top = 0;
  for (std::size_t e = 0; e < m; ++e)
    top = std::max(top, kids[e]);
  if (m != 0 && top >= n) {
    const std::size_t e = static_cast<std::size_t>(std::find_if(kids, kids + m, [n](std::uint32_t c) { return c >= n; }) - kids);
    return std::format("edge {} leads to node {}, past the {} nodes", e, kids[e], n);
  }
  for (std::size_t e = m; e < m + kEdgeLabelBlock; ++e)
    if (t.edge_labels[e] != 0)
      return std::format("edge label {} past the last edge is not 0", e);
  std::size_t escaped = 0;
  for (std::size_t e = 0; e < m; ++e)
    escaped += static_cast<std::size_t>(t.edge_labels[e] == kWideLabelEscape);
  if (escaped != t.wide_labels.size())
    return std::format("{} escaped edge labels for {} wide labels", escaped, t.wide_labels.size());
  for (std::size_t i = 0; i < t.wide_labels.size(); ++i) {
    const WideLabel& w = t.wide_labels[i];
    if (w.edge >= m || t.edge_labels[w.edge] != kWideLabelEscape || (i > 0 && w.edge <= t.wide_labels[i - 1].edge) ||
        w.label < kWideLabelEscape)
      return std::format("wide label {} (edge {}) is out of order, of no escaped edge, or narrow", i, w.edge);
  }
  return {};
}

/// The rest of the tree rules of derive_tree_layout, on arrays that passed
/// walk_form_problem: every edge leads to a later node, no node is entered
/// twice.
std::string tree_problem(const TrieView& t) {
  const std::size_t n = t.nodes;
  const std::size_t m = t.child_transitions.size();
  std::vector<std::uint64_t> entered((n + 63) / 64);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t begin = t.node_shifts[i];
    const std::size_t end = i + 1 < n ? t.node_shifts[i + 1] : m;
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = t.child_transitions[e];
      if (c <= i)
        return std::format("edge {} leads from node {} back to node {}", e, i, c);
      const std::uint64_t bit = std::uint64_t{1} << (c % 64);
      if ((entered[c / 64] & bit) != 0)
        return std::format("node {} is entered by more than one edge", c);
      entered[c / 64] |= bit;
    }
  }
  return {};
}

/// The rules a search by bounds reads a trie in its plain form under (see
/// SubtreeBounds::derive): every per-node array one entry a node, every
/// non-empty range inside the edges, every edge to a later node, no node
/// entered twice.
std::string bounds_problem(const TrieView& t) {
  const std::size_t n = t.nodes;
  const std::size_t m = t.child_transitions.size();
  if (t.child_labels.size() != n || t.node_shifts.size() != n || t.payloads.size() != n || t.terminal_flags.size() != n)
    return std::format("bounds need one label, range, payload slot and flag a node: {}, {}, {} and {} for {} nodes",
                       t.child_labels.size(), t.node_shifts.size(), t.payloads.size(), t.terminal_flags.size(), n);
  std::vector<std::uint64_t> entered((n + 63) / 64);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t begin = t.node_shifts[i];
    const std::size_t end = i + 1 < n ? t.node_shifts[i + 1] : m;
    if (begin < end && end > m)
      return std::format("node {}'s edges {}..{} run past the {} edges", i, begin, end, m);
    for (std::size_t e = begin; e < end; ++e) {
      const std::size_t c = t.child_transitions[e];
      if (c >= n || c <= i)
        return std::format("edge {} leads from node {} to node {}", e, i, c);
      const std::uint64_t bit = std::uint64_t{1} << (c % 64);
      if ((entered[c / 64] & bit) != 0)
        return std::format("node {} is entered by more than one edge", c);
      entered[c / 64] |= bit;
    }
  }
  return {};
}

}  // namespace

std::string_view section_name(Section s) noexcept { return kSectionNames[index(s)]; }

std::vector<std::uint8_t> encode(const TrieView& trie, const complete::SubtreeBoundsView& bounds) {
  const Plan plan = final_plan(trie, bounds);
  std::vector<std::uint8_t> out;
  out.reserve(plan.header.file_size);
  emit(plan, [&](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  });
  return out;
}

std::size_t encoded_size(const TrieView& trie, const complete::SubtreeBoundsView& bounds) {
  return make_plan(trie, bounds).header.file_size;
}

int write_file(int fd, const TrieView& trie, const complete::SubtreeBoundsView& bounds) {
  const Plan plan = final_plan(trie, bounds);
  int error = 0;
  emit(plan, [&](std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t wrote = ::write(fd, bytes.data(), std::min<std::size_t>(bytes.size(), std::size_t{1} << 30));
      if (wrote < 0) {
        if (errno == EINTR)
          continue;
        error = errno;
        return false;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(wrote));
    }
    return true;
  });
  return error;
}

std::expected<MappedView, OpenError> open(std::span<const std::uint8_t> file, bool verify) {
  // The magic number first: a file of another kind, however short, is named as such.
  if (file.size() < kMagic.size() || std::memcmp(file.data(), kMagic.data(), kMagic.size()) != 0)
    return fail(Problem::Magic, {});
  if (file.size() < kHeaderSize)
    return fail(Problem::TooShort, std::format("{}", file.size()));
  Header h;
  std::memcpy(&h, file.data(), kHeaderSize);
  if (h.byte_order != kByteOrderMark)
    return fail(Problem::ByteOrder, std::format("{:#010x}", h.byte_order));
  if (h.version != kFormatVersion)
    return fail(Problem::Version, std::format("{}", h.version));
  if (h.file_size != file.size())
    return fail(Problem::FileSize, std::format("{} bytes, the file {}", h.file_size, file.size()));
  if (h.section_count != kSectionCount)
    return fail(Problem::Header, std::format("section count {}", h.section_count));
  if ((h.flags & ~kKnownFlags) != 0)
    return fail(Problem::Header, std::format("flags {:#x}", h.flags));
  if (h.id_mode > 1)
    return fail(Problem::Header, std::format("id mode {}", h.id_mode));
  if (reinterpret_cast<std::uintptr_t>(file.data()) % kSectionAlign != 0)
    return fail(Problem::Section, "the file's bytes do not start on a 64-byte boundary");
  for (std::size_t s = 0; s < kSectionCount; ++s) {
    const SectionEntry& entry = h.sections[s];
    const std::string_view name = kSectionNames[s];
    if (entry.offset < kHeaderSize || entry.offset > file.size() || entry.size > file.size() - entry.offset)
      return fail(Problem::Section, std::format("{} at {} ({} bytes) lies outside the {}-byte file", name,
                                                entry.offset, entry.size, file.size()));
    if (entry.offset % kSectionAlign != 0)
      return fail(Problem::Section, std::format("{} at {} is not on a 64-byte boundary", name, entry.offset));
    if (entry.size % kElementSize[s] != 0)
      return fail(Problem::Section,
                  std::format("{} has {} bytes, no whole number of {}-byte values", name, entry.size, kElementSize[s]));
  }
  if (verify) {
    Header zeroed = h;
    zeroed.checksum = 0;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    XXH3_64bits_update(&state, &zeroed, kHeaderSize);
    XXH3_64bits_update(&state, file.data() + kHeaderSize, file.size() - kHeaderSize);
    const std::uint64_t found = XXH3_64bits_digest(&state);
    if (found != h.checksum)
      return fail(Problem::Checksum, std::format("{:016x}, the contents {:016x}", h.checksum, found));
  }

  const bool tree = (h.flags & kFlagTree) != 0;
  const bool usable = (h.flags & kFlagBoundsUsable) != 0;
  auto size_of = [&](Section s) { return h.sections[index(s)].size; };
  auto wrong_size = [&](Section s, std::string_view why) {
    return fail(Problem::Section, std::format("{} has {} bytes: {}", section_name(s), size_of(s), why));
  };

  MappedView out;
  TrieView& t = out.trie;
  t.node_shifts = section<std::uint32_t>(file, h, Section::NodeShifts);
  t.child_transitions = section<std::uint32_t>(file, h, Section::ChildTransitions);
  t.terminal_flags = section<std::uint8_t>(file, h, Section::TerminalFlags);
  t.video_uuids = section<VideoUuid>(file, h, Section::VideoUuids);
  t.video_int_ids = section<std::uint32_t>(file, h, Section::VideoIntIds);
  t.id_mode = static_cast<IdMode>(h.id_mode);
  t.tree = tree;
  if (tree) {
    if (size_of(Section::ChildLabels) != 0)
      return wrong_size(Section::ChildLabels, "a tree keeps its labels beside the edges");
    t.nodes = t.node_shifts.size();
    t.edge_labels = section<std::uint16_t>(file, h, Section::EdgeLabels);
    t.wide_labels = section<WideLabel>(file, h, Section::WideLabels);
    t.edge_heights = section<std::uint8_t>(file, h, Section::EdgeHeights);
    t.root_label = static_cast<char32_t>(h.root_label);
  } else {
    for (const Section s : {Section::EdgeLabels, Section::WideLabels, Section::EdgeHeights})
      if (size_of(s) != 0)
        return wrong_size(s, "only a tree has the walk form");
    if (h.root_label != 0)
      return fail(Problem::Header, std::format("root label {} outside the walk form", h.root_label));
    t.child_labels = section<char32_t>(file, h, Section::ChildLabels);
    t.nodes = t.child_labels.size();
  }
  if (t.nodes != h.nodes)
    return fail(Problem::Header, std::format("node count {} for {} nodes in the sections", h.nodes, t.nodes));

  PayloadTableParts parts;
  parts.slot_bytes = section<std::uint8_t>(file, h, Section::SlotBytes);
  parts.slots = static_cast<std::size_t>(h.slots);
  parts.slot_width = h.slot_width;
  parts.records = section<PayloadRecord>(file, h, Section::Records);
  parts.entry_bytes = section<std::uint8_t>(file, h, Section::EntryBytes);
  parts.entry_count = static_cast<std::size_t>(h.entry_count);
  parts.packing = {h.id_bytes, h.count_bytes};
  parts.ragged = section<RaggedRecord>(file, h, Section::Ragged);
  for (const RaggedRecord& g : parts.ragged) {
    std::uint32_t gap;
    std::memcpy(&gap, reinterpret_cast<const std::uint8_t*>(&g) + 4, sizeof gap);
    if (gap != 0)
      return fail(Problem::Payloads, "an uneven record whose padding is not zero");
  }
  auto payloads = PayloadTableView::adopt(parts);
  if (!payloads)
    return fail(Problem::Payloads, std::move(payloads.error()));
  t.payloads = *payloads;

  complete::SubtreeBoundsView& b = out.bounds;
  b.edges = t.child_transitions.size();
  const std::span<const std::uint8_t> problem = section<std::uint8_t>(file, h, Section::BoundsProblem);
  if (usable) {
    b.best = section<std::uint32_t>(file, h, Section::BoundBest);
    b.ranks = section<std::uint32_t>(file, h, Section::BoundRanks);
    if (b.best.size() != t.nodes)
      return wrong_size(Section::BoundBest, std::format("one bound a node, for {} nodes", t.nodes));
    if (!b.ranks.empty() && b.ranks.size() != t.nodes)
      return wrong_size(Section::BoundRanks, std::format("none, or one rank a node, for {} nodes", t.nodes));
    if (!problem.empty())
      return wrong_size(Section::BoundsProblem, "usable bounds have no problem");
  } else {
    if (size_of(Section::BoundBest) != 0 || size_of(Section::BoundRanks) != 0)
      return wrong_size(Section::BoundBest, "a trie without usable bounds has none");
    const std::string_view text(reinterpret_cast<const char*>(problem.data()), problem.size());
    const bool printable = std::ranges::all_of(text, [](char c) { return c >= 0x20 && c <= 0x7E; });
    if (text.empty() || text.size() > kMaxProblemBytes || !printable)
      return wrong_size(Section::BoundsProblem,
                        std::format("the reason for no bounds must be 1 to {} printable ASCII bytes", kMaxProblemBytes));
    b.problem = text;
  }

  if (tree) {
    if (std::string why = walk_form_problem(t); !why.empty())
      return fail(Problem::Structure, std::format("flagged a tree, but {}", why));
  }
  return out;
}

std::string searchable_problem(const MappedView& view) {
  if (view.trie.tree) {
    if (std::string why = tree_problem(view.trie); !why.empty())
      return std::format("the file gives a tree, but {}", why);
    return {};
  }
  if (!view.bounds.usable())
    return {};  // the search refuses the index with its own reason
  std::string why = bounds_problem(view.trie);
  return why.empty() ? why : std::format("the file gives search bounds, but {}", why);
}

TrieView snapshot_view(const TrieView& view, bool proved, std::vector<char32_t>& labels) {
  if (!view.tree || proved)
    return view;
  labels = node_labels(view.root_label, view.edge_labels, view.wide_labels, view.child_transitions);
  TrieView plain = view;
  plain.tree = false;
  plain.child_labels = labels;
  plain.edge_labels = {};
  plain.wide_labels = {};
  plain.edge_heights = {};
  return plain;
}

}  // namespace quorvatel::mapped

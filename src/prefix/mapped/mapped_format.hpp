// The mapped index file: a trie's in-memory arrays written as they are, each
// in a section aligned for use in place, behind a header that says where
// each section lies. Opening a file maps it and reads the trie through views
// over the mapping; nothing is decoded or derived.
//
// File layout (every integer in the byte order of the machine that wrote
// it, which the byte-order mark records; a machine of the other order
// refuses the file):
//   header      kHeaderSize bytes: magic, format version, byte-order mark,
//               flags, the file's size, a checksum (XXH3-64) of the whole
//               file with the checksum field read as zero, the counts and
//               widths the sections are read with, and a table of
//               kSectionCount (offset, size) pairs in Section order;
//   sections    each at an offset that is a multiple of kSectionAlign, in
//               Section order, zero bytes between them.
//
// What a section holds is what the index's views read: the plain node
// arrays (node_shifts, child_labels for a trie that is no tree), the edges
// and, for a tree, the walk form's edge labels, wide labels and heights;
// the terminal flags; the payload table's packed slots, records, packed
// entries and uneven records exactly as PayloadTableView reads them (a
// payload shared by several nodes stored once); the video tables; and the
// ranked completion's subtree bounds (or the reason the trie has none).
//
// Opening checks the header and every section against the file and the
// counts, and proves what the walk reads without checks: for a trie flagged
// as a tree, that every node range lies inside the edges and every child is
// a node (walk_form_problem in the source), and that the payload table
// keeps its invariants (PayloadTableView::adopt). That the arrays are a tree indeed (no edge back, no node
// entered twice), which the ranked completion search needs and the walk
// does not, is proved by searchable_problem() when that search first asks.
// Values that only steer results (subtree heights, bound values, text
// ranks) are not proved: a file altered after it was written may answer
// wrongly, never read outside its mapping; the checksum (verify) catches
// such a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "prefix/complete/subtree_bounds.hpp"
#include "prefix/trie/view.hpp"

namespace quorvatel::mapped {

inline constexpr std::size_t kSectionAlign = 64;
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::uint32_t kByteOrderMark = 0x01020304;
/// The longest reason for missing bounds a file may hold (printable ASCII,
/// as every reason SubtreeBounds gives is).
inline constexpr std::size_t kMaxProblemBytes = 4096;

enum class Section : std::uint8_t {
  NodeShifts,
  ChildLabels,
  ChildTransitions,
  EdgeLabels,
  WideLabels,
  EdgeHeights,
  TerminalFlags,
  SlotBytes,
  Records,
  EntryBytes,
  Ragged,
  VideoUuids,
  VideoIntIds,
  BoundBest,
  BoundRanks,
  BoundsProblem,
};
inline constexpr std::size_t kSectionCount = 16;

/// The name of a section in messages.
[[nodiscard]] std::string_view section_name(Section s) noexcept;

/// What makes a file no mapped index; the boundary words each kind.
enum class Problem : std::uint8_t {
  TooShort,      ///< shorter than the header
  Magic,         ///< no magic number: not a mapped index at all
  Version,       ///< another format version
  ByteOrder,     ///< written on a machine of the other byte order
  FileSize,      ///< the header's file size is not the file's
  Header,        ///< a header field holds a value no writer writes
  Section,       ///< a section outside the file, misaligned or of a wrong size
  Payloads,      ///< the payload table breaks its invariants
  Structure,     ///< flagged a tree, or given bounds, but the arrays break the rules
  Checksum,      ///< the contents differ from what was written (verify)
};

struct OpenError {
  Problem problem;
  std::string detail;
};

/// An opened file's index: views over the bytes it was opened from, valid
/// while those bytes are.
struct MappedView {
  TrieView trie;
  complete::SubtreeBoundsView bounds;
};

/// The file for `trie` and its `bounds`, in memory (tests, tools; the
/// package writes through write_file()). The trie may be anything a snapshot
/// holds; bounds must be those derived from it.
[[nodiscard]] std::vector<std::uint8_t> encode(const TrieView& trie, const complete::SubtreeBoundsView& bounds);

/// Writes the file to `fd` from its current position, in sections (no copy
/// of the whole file is made). Returns 0, or the errno of the failed write.
[[nodiscard]] int write_file(int fd, const TrieView& trie, const complete::SubtreeBoundsView& bounds);

/// Size of the file encode() gives.
[[nodiscard]] std::size_t encoded_size(const TrieView& trie, const complete::SubtreeBoundsView& bounds);

/// Whether `view` (opened by open()) is what its file claims beyond what
/// open() proved: a walk form whose arrays are a tree indeed (every edge to
/// a later node, no node entered twice), and usable bounds whose rules hold
/// (those of SubtreeBounds::derive). Empty when it is, else why not. The
/// ranked completion search must not be given a view that fails it, and
/// the snapshot of a walk form that fails it is written from its plain twin
/// (snapshot_view). O(nodes + edges).
[[nodiscard]] std::string searchable_problem(const MappedView& view);

/// The view a snapshot of `view` is written from: `view` itself, unless it
/// is a walk form not `proved` a tree (by searchable_problem), whose edges
/// may then enter a node twice: its per-node labels are made into `labels`
/// (as node_labels does; open() proved every child a node) and the plain
/// twin reading them is returned, so that the size pass and the writer
/// agree whatever the arrays hold.
[[nodiscard]] TrieView snapshot_view(const TrieView& view, bool proved, std::vector<char32_t>& labels);

/// Reads a file from `bytes` (which must start at a kSectionAlign boundary:
/// a mapping does), checking it as above; with `verify`, the checksum too.
[[nodiscard]] std::expected<MappedView, OpenError> open(std::span<const std::uint8_t> bytes, bool verify);

}  // namespace quorvatel::mapped

#include "prefix/complete/search.hpp"

#include <algorithm>
#include <format>
#include <functional>
#include <limits>
#include <new>

#include "core/utf8.hpp"
#include "prefix/complete/rows.hpp"
#include "prefix/complete/rows_simd.hpp"
#include "prefix/complete/index_view.hpp"

namespace quorvatel::complete {
namespace {

// The search runs level by level, d = 0, 1, ..., k; level d settles every
// result at distance d, and the search stops at the level that fills the
// limit.
//
// 1. A depth-first walk of the fuzzy region (the nodes whose row has a cell
//    within d) records the level's entries: candidates (terms at distance d)
//    and, for completion, fixed subtrees (nodes past the region below a path
//    with a prefix at distance d: every term of the subtree has distance d).
//    A node is entered only when its row minimum and its subtree's count
//    bound could still beat the limit-th best result known so far; the
//    region is small (it is the part fuzzy_match walks), and the walk keeps
//    one row per depth and reads the trie in its own order.
// 2. A best-first search over the recorded entries emits the level's results
//    in rank order: a priority queue keyed by (distance, -count bound, text
//    rank, kind, entry number). A fixed subtree is expanded into its children
//    (fixed too) and its own term only when it is the smallest entry, so no
//    subtree is expanded unless one of its terms still ranks among the first
//    `limit`. No term of an entry ranks before the entry's key: its text
//    starts with the node's path, so its rank is at least the node's.
//
// A level's walk reaches all of the level's results (a term at distance d
// lies on, or below, a path whose rows stay within d), and records none of
// an earlier level's (those lie below a prefix already closer than d).

constexpr std::uint32_t kNoParent = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kCandidate = std::uint64_t{1} << 31;
constexpr std::uint64_t kItemMask = kCandidate - 1;
constexpr std::uint64_t kNoBound = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kNoLevel = std::numeric_limits<std::uint32_t>::max();
/// The best results known are tracked while the limit is at most this.
constexpr std::uint64_t kTrackedLimit = 1u << 16;
/// Work between two polls of the cancel hook: nodes examined, entries popped.
constexpr std::uint32_t kPollInterval = 1u << 14;

/// A node recorded for the best-first stage. A node the walk recorded keeps
/// its path text in the text arena; a child made by expanding a fixed
/// subtree points at its parent's item.
struct Item {
  std::uint32_t node;
  std::uint32_t parent;  ///< kNoParent for a recorded node
  std::uint32_t text;    ///< recorded node: where its path starts in the text arena
  std::uint32_t depth;
  char32_t label;
};

struct Entry {
  std::uint64_t hi;  ///< distance << 32 | (2^32 - 1 - count bound)
  std::uint64_t lo;  ///< text rank << 32 | kind | item
  friend auto operator<=>(const Entry&, const Entry&) = default;
};

[[nodiscard]] constexpr std::uint64_t key_hi(std::uint32_t distance, std::uint32_t count) noexcept {
  return static_cast<std::uint64_t>(distance) << 32 | (std::numeric_limits<std::uint32_t>::max() - count);
}

template <class View, class Kernel>
class Search {
 public:
  using Cell = typename Kernel::CellType;

  Search(const View& view, Kernel kernel, const Request& request, std::uint32_t k)
      : view_(view),
        kernel_(kernel),
        text_(request.text),
        suggest_(request.mode == Mode::Suggest),
        k_(k),
        fixed_prefix_(std::min<std::uint64_t>(request.policy.prefix_length, request.text.size())),
        limit_(request.limit),
        cancel_(request.cancel),
        width_(kernel.width()) {}

  std::vector<Completion> run() {
    if (limit_ == 0 || view_.node_count() == 0 || view_.best_own(0) == kNoTerm)
      return {};
    out_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit_, 64)));
    rows_.resize(2 * width_);
    no_match_.resize(2 * width_);
    unmatched_.resize(2);
    kernel_.first_row(rows_.data());
    // Levels 0, 1 and 2 one at a time; beyond, a walk takes twice as many
    // levels as the last, so that a large max_dist costs few walks.
    std::uint32_t lo = 0;
    while (lo <= k_ && out_.size() < limit_) {
      const std::uint32_t hi = lo < 3 ? lo : static_cast<std::uint32_t>(std::min<std::uint64_t>(k_, 2ull * lo));
      next_level_ = kNoLevel;
      walk(lo, hi);
      settle();
      lo = next_level_;  // the first level past hi with anything left to find
    }
    return std::move(out_);
  }

  // ---------------------------------------------------------------- the walk

  /// A node whose children the walk is examining.
  struct Frame {
    const std::uint32_t* next;  ///< the next child edge
    const std::uint32_t* end;
    std::uint32_t best;  ///< completion: the smallest distance of a prefix of the node's path
    typename Kernel::Context context;  ///< what its children's rows share
  };

  /// Per depth: the row that a child whose label matches nothing gets, once
  /// worked out for the node whose children are at that depth.
  struct Unmatched {
    RowStep step;
    bool known;
  };

  /// Walks the fuzzy region of the levels lo..hi and records their entries.
  void walk(std::uint32_t lo, std::uint32_t hi) {
    // The node whose children are examined is `at`, at depth - 1; its
    // ancestors wait in frames_. What the loop reads is copied into locals:
    // rows are stored through a character type, which may alias any member,
    // and locals let the compiler keep the loop's values in registers.
    const View view = view_;
    const Kernel kernel = kernel_;
    const std::size_t width = Kernel::kFixedWidth != 0 ? Kernel::kFixedWidth : width_;
    const bool suggest = suggest_;
    std::uint64_t threshold = threshold_;
    std::uint32_t next_level = kNoLevel;
    std::uint32_t until_poll = kPollInterval;
    const std::uint32_t k = k_;
    const std::uint64_t fixed_prefix = fixed_prefix_;
    const char32_t* const text = text_.data();
    auto later = [&next_level, k](std::uint32_t level) {  // something may be found at `level`
      if (level <= k)
        next_level = std::min(next_level, level);
    };
    const Children root = view.children(0);
    Frame at{root.begin, root.end, kernel.first_distance(), kernel.context(1, kNoChar)};
    frames_.clear();
    path_.clear();
    // Rows for every depth a walk of these levels can reach (children of
    // nodes whose row minimum is at most hi lie at most L + hi + 1 deep),
    // as far as that is reasonable; deeper ones are added as they come.
    reserve_depth(std::min<std::size_t>(text_.size() + hi + 2, 4 * kMaxTextLength));
    std::uint32_t depth = 1;  // of the children examined
    Cell* rows = rows_.data();
    Cell* no_match = no_match_.data();
    Unmatched* unmatched = unmatched_.data() + 1;
    unmatched->known = false;
    // The rows of the children (cur), of their parent (prev) and grandparent
    // (grand), and whether the children's labels must equal the text's.
    Cell* cur = nullptr;
    const Cell* prev = nullptr;
    const Cell* grand = nullptr;
    bool fixed = false;
    auto at_depth = [&] {
      cur = rows + static_cast<std::size_t>(depth) * width;
      prev = cur - width;
      grand = depth >= 2 ? prev - width : nullptr;
      fixed = depth <= fixed_prefix;
      unmatched = unmatched_.data() + depth;
    };
    at_depth();
    while (true) {
      if (at.next == at.end) {
        if (frames_.empty())
          break;
        at = frames_.back();
        frames_.pop_back();
        path_.pop_back();
        --depth;
        at_depth();
        continue;
      }
      if (--until_poll == 0) [[unlikely]] {
        until_poll = kPollInterval;
        poll_now();
      }
      const std::uint32_t c = *at.next;
      const char32_t x = view.label(at.next);
      ++at.next;
      if (x == 0 || (fixed && x != text[depth - 1]))
        continue;
      const auto probe = kernel.probe(at.context, depth, x);
      RowStep step;
      bool in_no_match = false;
      if (kernel.unmatched(depth, probe)) {
        // Every such child of the node gets the row of a label that matches nothing.
        if (!unmatched->known) {
          unmatched->step = kernel.fill(depth, prev, grand, kernel.unmatched_probe(depth),
                                        no_match + static_cast<std::size_t>(depth) * width);
          unmatched->known = true;
        }
        step = unmatched->step;
        in_no_match = true;
      } else {
        step = kernel.fill(depth, prev, grand, probe, cur);
      }
      // The bound is read only for children that the row keeps (most are
      // not) and that it can rule out.
      std::uint32_t best = 0;
      if (suggest) {
        if (step.row_min > hi) {
          later(step.row_min);
          continue;
        }
        if (threshold != kNoBound && key_hi(step.row_min, bound_of(c)) > threshold)
          continue;  // no term below can rank among the first `limit`
        if (step.distance > hi)
          later(step.distance);
        else if (step.distance >= lo)
          threshold = offer_term(c, depth, x, step.distance);
      } else {
        best = std::min(at.best, step.distance);
        if (best < lo)
          continue;  // every term below lies at most `best` away: an earlier walk's
        if (best > hi && step.row_min > hi) {
          later(std::min(step.row_min, best));
          continue;
        }
        if (step.row_min <= hi && step.row_min < best) {
          if (threshold != kNoBound && key_hi(step.row_min, bound_of(c)) > threshold)
            continue;
          if (best > hi)
            later(best);
          else
            threshold = offer_term(c, depth, x, best);
        } else {
          // Past the region: every term below is `best` away. Its best term's
          // own count is the bound (read low by one at the top of the range).
          const std::uint32_t stored = view.best_own(c);
          const std::uint32_t bound = decode_bound(stored);
          if (stored != kNoTerm && key_hi(best, bound) <= threshold)
            threshold =
                record(c, depth, x, best, bound == std::numeric_limits<std::uint32_t>::max() ? bound - 1 : bound, 0);
          continue;
        }
      }
      const Children below = view.children(c);
      if (below.begin == below.end)
        continue;
      if (in_no_match)
        kernel.copy_row(no_match + static_cast<std::size_t>(depth) * width, cur);
      frames_.push_back(at);
      path_.push_back(x);
      ++depth;
      if (depth + 1 >= unmatched_.size()) [[unlikely]] {
        reserve_depth(2 * (static_cast<std::size_t>(depth) + 1));
        rows = rows_.data();
        no_match = no_match_.data();
      }
      at = Frame{below.begin, below.end, best, kernel.context(depth, x)};
      at_depth();
      unmatched->known = false;
    }
    next_level_ = next_level;
  }

  /// Rows and unmatched rows for the depths 0 .. depths - 1 at least.
  void reserve_depth(std::size_t depths) {
    if (unmatched_.size() >= depths)
      return;
    rows_.resize(depths * width_);
    no_match_.resize(depths * width_);
    unmatched_.resize(depths);
  }

  /// The count bound of a node's subtree; 0 for a subtree without terms.
  [[nodiscard]] std::uint32_t bound_of(std::uint32_t node) const noexcept {
    const std::uint32_t stored = view_.best_own(node);
    return stored == kNoTerm ? 0 : decode_bound(stored);
  }


  /// Records `node` (at `depth`, labelled x) as a candidate at `distance`
  /// when it is a term at least as long as the leading characters that must
  /// equal the text's. Returns the threshold.
  std::uint64_t offer_term(std::uint32_t node, std::uint32_t depth, char32_t x, std::uint32_t distance) {
    if (depth < fixed_prefix_ || !view_.terminal(node))
      return threshold_;
    const std::uint32_t own = own_count(node);
    if (key_hi(distance, own) <= threshold_)
      record(node, depth, x, distance, own, kCandidate);
    return threshold_;
  }

  /// Records an entry for the best-first stage: a candidate, or a fixed
  /// subtree whose best term has own count `count` (its bound). Returns the
  /// threshold, which the entry may lower.
  std::uint64_t record(std::uint32_t node, std::uint32_t depth, char32_t x, std::uint32_t distance, std::uint32_t count,
              std::uint64_t kind) {
    know(key_hi(distance, count));
    if (texts_.size() > std::numeric_limits<std::uint32_t>::max() - depth) [[unlikely]]
      throw std::bad_alloc();
    const auto text = static_cast<std::uint32_t>(texts_.size());
    texts_.insert(texts_.end(), path_.begin(), path_.end());
    texts_.push_back(x);
    const std::uint32_t item = new_item(node, kNoParent, text, depth, x);
    push(key(distance, kind != 0 ? count : decode_bound(view_.best_own(node)), node, kind, item));
    return threshold_;
  }

  /// Notes one more result known to exist with key `hi`: the limit-th best
  /// of those is a threshold no node worse than it needs entering for.
  void know(std::uint64_t hi) {
    if (limit_ > kTrackedLimit)
      return;
    if (known_.size() < limit_) {
      known_.push_back(hi);
      std::ranges::push_heap(known_);
    } else if (hi < known_.front()) {
      std::ranges::pop_heap(known_);
      known_.back() = hi;
      std::ranges::push_heap(known_);
    }
    if (known_.size() == limit_)
      threshold_ = known_.front();
  }

  // ---------------------------------------------------------------- best first

  /// Emits the recorded entries in rank order, expanding fixed subtrees as
  /// they come up, until the queue is empty or the limit is reached.
  void settle() {
    Entry next{};
    while (out_.size() < limit_ && take_next(next)) {
      poll();
      const auto index = static_cast<std::uint32_t>(next.lo & kItemMask);
      const auto distance = static_cast<std::uint32_t>(next.hi >> 32);
      if ((next.lo & kCandidate) != 0)
        out_.push_back({text_of(index), static_cast<std::uint32_t>(~next.hi), distance, items_[index].node});
      else
        expand_fixed(index, distance);
    }
    queue_.clear();
    fresh_.clear();
  }

  /// The smallest entry: the smallest of those the last expansion made when
  /// it is below everything queued (it then skips the queue), else the
  /// queue's. The others made go into the queue.
  bool take_next(Entry& next) {
    if (!fresh_.empty()) {
      const auto smallest = std::ranges::min_element(fresh_);
      std::swap(*smallest, fresh_.back());
      const Entry best = fresh_.back();
      fresh_.pop_back();
      for (const Entry& e : fresh_)
        push(e);
      fresh_.clear();
      if (queue_.empty() || best < queue_.front()) {
        next = best;
        return true;
      }
      push(best);
    }
    if (queue_.empty())
      return false;
    std::ranges::pop_heap(queue_, std::greater<>());
    next = queue_.back();
    queue_.pop_back();
    return true;
  }

  void push(const Entry& e) {
    queue_.push_back(e);
    std::ranges::push_heap(queue_, std::greater<>());
  }

  void expand_fixed(std::uint32_t index, std::uint32_t distance) {
    const Item at = items_[index];
    if (at.depth >= fixed_prefix_ && view_.terminal(at.node))
      fresh_.push_back(key(distance, own_count(at.node), at.node, kCandidate, index));
    const Children children = view_.children(at.node);
    const std::uint32_t depth = at.depth + 1;
    for (const std::uint32_t* c = children.begin; c != children.end; ++c) {
      const char32_t x = view_.label(c);
      const std::uint32_t stored = view_.best_own(*c);
      if (x == 0 || stored == kNoTerm || off_prefix(depth, x))
        continue;
      const std::uint32_t item = new_item(*c, index, 0, depth, x);
      fresh_.push_back(key(distance, decode_bound(stored), *c, 0, item));
    }
  }

  // ---------------------------------------------------------------- helpers

  [[nodiscard]] std::uint32_t new_item(std::uint32_t node, std::uint32_t parent, std::uint32_t text,
                                       std::uint32_t depth, char32_t label) {
    if (items_.size() >= kItemMask) [[unlikely]]
      throw std::bad_alloc();
    items_.push_back({node, parent, text, depth, label});
    return static_cast<std::uint32_t>(items_.size() - 1);
  }

  [[nodiscard]] Entry key(std::uint32_t distance, std::uint32_t count_bound, std::uint32_t node, std::uint64_t kind,
                          std::uint32_t item) const noexcept {
    return {key_hi(distance, count_bound), static_cast<std::uint64_t>(view_.rank(node)) << 32 | kind | item};
  }

  /// The node's count minus its children's, 0 when that is negative.
  [[nodiscard]] std::uint32_t own_count(std::uint32_t node) const noexcept {
    std::uint64_t below = 0;
    const Children children = view_.children(node);
    for (const std::uint32_t* c = children.begin; c != children.end; ++c)
      below += view_.count(*c);
    const std::uint32_t count = view_.count(node);
    return count > below ? static_cast<std::uint32_t>(count - below) : 0;
  }

  /// Whether a child at `depth` labelled x is ruled out by the leading
  /// characters that must equal the text's.
  [[nodiscard]] bool off_prefix(std::uint32_t depth, char32_t x) const noexcept {
    return depth <= fixed_prefix_ && x != text_[depth - 1];
  }

  void poll() {
    if (--until_poll_ == 0) [[unlikely]] {
      until_poll_ = kPollInterval;
      poll_now();
    }
  }

  void poll_now() {
    if (cancel_ != nullptr && cancel_->should_stop())
      throw Cancelled();
  }

  /// The text of the path to the node of `item`.
  [[nodiscard]] std::string text_of(std::uint32_t item) const {
    std::u32string tail;
    std::uint32_t i = item;
    for (; items_[i].parent != kNoParent; i = items_[i].parent)
      tail.push_back(items_[i].label);
    std::u32string path(texts_.begin() + items_[i].text, texts_.begin() + items_[i].text + items_[i].depth);
    path.append(tail.rbegin(), tail.rend());
    return encode_utf8(path);
  }

  const View view_;
  const Kernel kernel_;
  std::u32string_view text_;
  bool suggest_;
  std::uint32_t k_;
  std::uint64_t fixed_prefix_;
  std::uint64_t limit_;
  CancelHook* cancel_;
  std::size_t width_;
  std::uint32_t until_poll_ = kPollInterval;
  std::vector<Completion> out_;
  // the walk
  std::vector<Cell> rows_;      ///< the row of each depth on the walk's path
  std::vector<Cell> no_match_;  ///< per depth, the shared row of unmatched labels
  std::vector<Unmatched> unmatched_;
  std::vector<char32_t> path_;  ///< labels from depth 1 to the deepest frame
  std::vector<Frame> frames_;
  std::vector<std::uint64_t> known_;  ///< max-heap of the best keys known to exist
  std::uint64_t threshold_ = kNoBound;
  std::uint32_t next_level_ = kNoLevel;
  // the best-first stage
  std::vector<char32_t> texts_;
  std::vector<Item> items_;
  std::vector<Entry> queue_;
  std::vector<Entry> fresh_;
};

template <class Kernel, class View>
std::vector<Completion> run_with(const View& view, Kernel kernel, const Request& request, std::uint32_t k) {
  return Search<View, Kernel>(view, kernel, request, k).run();
}

template <class Cell, bool kBand, class View>
std::vector<Completion> run_with(const View& view, const Request& request, std::uint32_t k) {
#if defined(__SSE2__)
  if constexpr (kBand) {
    const bool swaps = request.policy.transpositions;
    auto simd = [&]<int K>(std::integral_constant<int, K>) {
      const typename SimdRowKernel<K>::Tables tables(request.text);
      return run_with(view, SimdRowKernel<K>(request.text, swaps, tables), request, k);
    };
    switch (k) {
      case 1:
        return simd(std::integral_constant<int, 1>());
      case 2:
        return simd(std::integral_constant<int, 2>());
      case 3:
        return simd(std::integral_constant<int, 3>());
      default:
        break;
    }
  }
#endif
  const std::vector<char32_t> columns = RowKernel<Cell, kBand>::columns(request.text, k);
  return run_with(view, RowKernel<Cell, kBand>(request.text, k, request.policy.transpositions, columns), request, k);
}

}  // namespace

Result<std::vector<Completion>> search(const TrieView& trie, const SubtreeBoundsView& bounds, const Request& request) {
  if (request.text.size() > kMaxTextLength)
    return fail(ErrorKind::Value, std::format("the text has {} code points; a search takes at most {}",
                                              request.text.size(), kMaxTextLength));
  if (!bounds.usable())
    return fail(ErrorKind::Value, std::string(bounds.problem));
  const IndexView view(trie, bounds);
  const std::size_t length = request.text.size();
  std::uint32_t k = request.policy.max_dist.value_or(auto_max_dist(length));
  // No completion is farther than the text is long (the empty prefix is that
  // far); a suggestion may be, for long terms.
  if (request.mode == Mode::Complete)
    k = static_cast<std::uint32_t>(std::min<std::size_t>(k, length));
  k = std::min(k, std::numeric_limits<std::uint32_t>::max() - 2);
  // Cells need room for k + 2; band rows are narrower than full ones while 2k + 1 < L + 1.
  if (k + 2 <= std::numeric_limits<std::uint8_t>::max()) {
    if (2 * static_cast<std::size_t>(k) < length)
      return run_with<std::uint8_t, true>(view, request, k);
    return run_with<std::uint8_t, false>(view, request, k);
  }
  return run_with<std::uint32_t, false>(view, request, k);
}

}  // namespace quorvatel::complete

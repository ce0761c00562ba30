#include "prefix/complete/search.hpp"

#include <algorithm>
#include <format>
#include <functional>
#include <limits>
#include <new>

#include "core/utf8.hpp"
#include "prefix/complete/rows.hpp"
#include "prefix/complete/trie_view.hpp"

namespace quorvatel::complete {
namespace {

// The queue holds three kinds of entries:
// - fuzzy: a node whose row still has a cell within k. Its terms' distances
//   are at least its row minimum (completion: or the best prefix distance on
//   its path, when that is smaller; then the entry is fixed instead);
// - fixed (completion only): a node past the fuzzy region below a path that
//   already has a prefix within k: every term of its subtree has exactly that
//   prefix's distance;
// - candidate: a term with its final distance and own count.
// An entry's key is (distance lower bound, -count upper bound, text rank of
// its node, kind, entry number): no term reached through an entry ranks
// before the entry's key (its text starts with the node's path, so its rank
// is at least the node's), so terms leave the queue in rank order. Kind puts
// a node's subtree before candidates of equal distance, count and rank.

constexpr std::uint32_t kNoRow = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kNoParent = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kCandidate = std::uint64_t{1} << 31;
constexpr std::uint64_t kItemMask = kCandidate - 1;
/// How many entries leave the queue between two polls of the cancel hook.
constexpr std::uint32_t kPollInterval = 1u << 12;

/// A node reached by the search: fuzzy when it has a row, fixed otherwise.
struct Item {
  std::uint32_t node;
  std::uint32_t parent;  ///< the item of the parent node; kNoParent for the root
  std::uint32_t depth;
  std::uint32_t row;     ///< row number, or kNoRow
  /// Completion: the smallest distance of a prefix of the path (the node's
  /// included). Suggestion: the distance of the node's path.
  std::uint32_t best;
};

struct Entry {
  std::uint64_t hi;  ///< distance << 32 | (2^32 - 1 - count bound)
  std::uint64_t lo;  ///< text rank << 32 | kind | item
  friend auto operator<=>(const Entry&, const Entry&) = default;
};

template <class View, class Kernel>
class BestFirst {
 public:
  using Cell = typename Kernel::CellType;

  BestFirst(const View& view, const Kernel& kernel, const Request& request, std::uint32_t k)
      : view_(view),
        kernel_(kernel),
        text_(request.text),
        suggest_(request.mode == Mode::Suggest),
        k_(k),
        fixed_prefix_(std::min<std::uint64_t>(request.policy.prefix_length, request.text.size())),
        limit_(request.limit),
        cancel_(request.cancel),
        width_(kernel.width()),
        scratch_(kernel.width()),
        no_match_(kernel.width()) {}

  std::vector<Completion> run() {
    std::vector<Completion> out;
    if (limit_ == 0 || view_.node_count() == 0 || view_.best_own(0) == kNoTerm)
      return out;
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit_, 64)));
    // The root: row 0, at distance L from the text (the empty prefix).
    rows_.resize(width_);
    kernel_.first_row(rows_.data());
    const std::uint32_t root_distance = kernel_.first_distance();
    if (!suggest_ && root_distance == 0)
      fresh_.push_back(add_fixed(0, kNoParent, 0, 0));
    else
      fresh_.push_back(add_fuzzy(0, kNoParent, 0, 0, root_distance));
    std::uint32_t until_poll = kPollInterval;
    Entry next{};
    while (take_next(next)) {
      if (--until_poll == 0) [[unlikely]] {
        until_poll = kPollInterval;
        if (cancel_ != nullptr && cancel_->should_stop())
          throw Cancelled();
      }
      const auto index = static_cast<std::uint32_t>(next.lo & kItemMask);
      const auto distance = static_cast<std::uint32_t>(next.hi >> 32);
      if ((next.lo & kCandidate) != 0) {
        const auto count = static_cast<std::uint32_t>(~next.hi);
        out.push_back({text_of(index), count, distance, items_[index].node});
        if (out.size() >= limit_)
          break;
      } else if (items_[index].row != kNoRow) {
        expand_fuzzy(index);
      } else {
        expand_fixed(index);
      }
    }
    return out;
  }

 private:
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

  [[nodiscard]] std::uint32_t new_item(std::uint32_t node, std::uint32_t parent, std::uint32_t depth,
                                       std::uint32_t row, std::uint32_t best) {
    if (items_.size() >= kItemMask) [[unlikely]]
      throw std::bad_alloc();
    items_.push_back({node, parent, depth, row, best});
    return static_cast<std::uint32_t>(items_.size() - 1);
  }

  [[nodiscard]] Entry key(std::uint32_t distance, std::uint32_t count_bound, std::uint32_t node, std::uint64_t kind,
                          std::uint32_t item) const noexcept {
    return {static_cast<std::uint64_t>(distance) << 32 | (std::numeric_limits<std::uint32_t>::max() - count_bound),
            static_cast<std::uint64_t>(view_.rank(node)) << 32 | kind | item};
  }

  /// A fixed entry: every term below `node` has distance `distance`.
  Entry add_fixed(std::uint32_t node, std::uint32_t parent, std::uint32_t depth, std::uint32_t distance) {
    const std::uint32_t item = new_item(node, parent, depth, kNoRow, distance);
    return key(distance, decode_bound(view_.best_own(node)), node, 0, item);
  }

  /// A fuzzy entry whose row is the last one in rows_, with lower bound `row_min`.
  Entry add_fuzzy(std::uint32_t node, std::uint32_t parent, std::uint32_t depth, std::uint32_t row_min,
                  std::uint32_t best) {
    const auto row = static_cast<std::uint32_t>(rows_.size() / width_ - 1);
    const std::uint32_t item = new_item(node, parent, depth, row, best);
    return key(row_min, decode_bound(view_.best_own(node)), node, 0, item);
  }

  /// Queues the node of `item` as a candidate at `distance` when it is a
  /// term as long as the leading characters that must equal the text's.
  void offer_term(std::uint32_t item, std::uint32_t node, std::uint32_t depth, std::uint32_t distance) {
    if (depth == 0 || depth < fixed_prefix_ || !view_.terminal(node))
      return;
    std::uint64_t below = 0;
    const Children children = view_.children(node);
    for (const std::uint32_t* c = children.begin; c != children.end; ++c)
      below += view_.count(*c);
    const std::uint32_t count = view_.count(node);
    const std::uint32_t own = count > below ? static_cast<std::uint32_t>(count - below) : 0;
    fresh_.push_back(key(distance, own, node, kCandidate, item));
  }

  /// Whether a child at `depth` labelled x is ruled out by the leading
  /// characters that must equal the text's.
  [[nodiscard]] bool off_prefix(std::uint32_t depth, char32_t x) const noexcept {
    return depth <= fixed_prefix_ && x != text_[depth - 1];
  }

  void expand_fixed(std::uint32_t index) {
    const Item at = items_[index];
    offer_term(index, at.node, at.depth, at.best);
    const Children children = view_.children(at.node);
    const std::uint32_t depth = at.depth + 1;
    for (const std::uint32_t* c = children.begin; c != children.end; ++c) {
      const char32_t x = view_.label(*c);
      if (x == 0 || view_.best_own(*c) == kNoTerm || off_prefix(depth, x))
        continue;
      fresh_.push_back(add_fixed(*c, index, depth, at.best));
    }
  }

  void expand_fuzzy(std::uint32_t index) {
    const Item at = items_[index];
    if (at.best <= k_)
      offer_term(index, at.node, at.depth, at.best);
    const Children children = view_.children(at.node);
    if (children.begin == children.end)
      return;
    // Room for a row per child up front, so that the rows read below stay put.
    const std::size_t room = rows_.size() + static_cast<std::size_t>(children.end - children.begin) * width_;
    if (room > rows_.capacity())
      rows_.reserve(std::max(room, 2 * rows_.capacity()));
    const Cell* prev = rows_.data() + static_cast<std::size_t>(at.row) * width_;
    const Cell* grand =
        at.parent == kNoParent ? nullptr : rows_.data() + static_cast<std::size_t>(items_[at.parent].row) * width_;
    const char32_t y = view_.label(at.node);
    const std::uint32_t depth = at.depth + 1;
    enum class Unmatched : std::uint8_t { Unknown, Known };
    Unmatched unmatched = Unmatched::Unknown;
    RowStep unmatched_step{};
    for (const std::uint32_t* c = children.begin; c != children.end; ++c) {
      const char32_t x = view_.label(*c);
      if (x == 0 || view_.best_own(*c) == kNoTerm || off_prefix(depth, x))
        continue;
      RowStep step;
      const Cell* row = scratch_.data();
      if (kBandRows && !kernel_.matches_near(depth, x)) {
        // Every such child gets the row of a label that matches nothing.
        if (unmatched == Unmatched::Unknown) {
          unmatched_step = kernel_.fill(depth, prev, grand, y, kNoChar, no_match_.data());
          unmatched = Unmatched::Known;
        }
        step = unmatched_step;
        row = no_match_.data();
      } else {
        step = kernel_.fill(depth, prev, grand, y, x, scratch_.data());
      }
      const std::uint32_t best = suggest_ ? step.distance : std::min(at.best, step.distance);
      if (step.row_min <= k_ && (suggest_ || step.row_min < best)) {
        rows_.insert(rows_.end(), row, row + width_);  // within the room reserved
        fresh_.push_back(add_fuzzy(*c, index, depth, step.row_min, best));
      } else if (!suggest_ && best <= k_) {
        fresh_.push_back(add_fixed(*c, index, depth, best));
      }
    }
  }

  /// The text of the path to the node of `item`.
  [[nodiscard]] std::string text_of(std::uint32_t item) const {
    std::u32string path;
    path.reserve(items_[item].depth);
    for (std::uint32_t i = item; items_[i].parent != kNoParent; i = items_[i].parent)
      path.push_back(view_.label(items_[i].node));
    std::reverse(path.begin(), path.end());
    return encode_utf8(path);
  }

  static constexpr bool kBandRows = Kernel::kBandRows;

  const View& view_;
  const Kernel& kernel_;
  std::u32string_view text_;
  bool suggest_;
  std::uint32_t k_;
  std::uint64_t fixed_prefix_;
  std::uint64_t limit_;
  CancelHook* cancel_;
  std::size_t width_;
  std::vector<Cell> scratch_;
  std::vector<Cell> no_match_;
  std::vector<Cell> rows_;
  std::vector<Item> items_;
  std::vector<Entry> queue_;
  std::vector<Entry> fresh_;
};

template <class Cell, bool kBand, class View>
std::vector<Completion> run_with(const View& view, const Request& request, std::uint32_t k) {
  const RowKernel<Cell, kBand> kernel(request.text, k, request.policy.transpositions);
  return BestFirst<View, RowKernel<Cell, kBand>>(view, kernel, request, k).run();
}

}  // namespace

Result<std::vector<Completion>> search(const Trie& trie, const SubtreeBounds& bounds, const Request& request) {
  if (request.text.size() > kMaxTextLength)
    return fail(ErrorKind::Value, std::format("the text has {} code points; a search takes at most {}",
                                              request.text.size(), kMaxTextLength));
  if (!bounds.usable())
    return fail(ErrorKind::Value, bounds.problem());
  const TrieView view(trie, bounds);
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

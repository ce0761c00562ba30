// Shared pieces of the fuzz targets: a splitter for the input bytes, a work
// budget that cancels runaway walks, and the differential check of the walk
// against the plain reference.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/cancel.hpp"
#include "core/fault.hpp"
#include "core/utf8.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "reference_walk.hpp"

namespace quorvatel::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

/// Reads plain values off the front of the input; past the end it yields zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
  std::uint8_t byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::span<const std::uint8_t> take(std::size_t n) {
    n = std::min(n, bytes_.size() - at_);
    auto out = bytes_.subspan(at_, n);
    at_ += n;
    return out;
  }
  std::span<const std::uint8_t> rest() { return take(bytes_.size() - at_); }
  [[nodiscard]] bool empty() const { return at_ >= bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

/// Stops a walk after a fixed number of polls: a trie with exponentially many
/// paths would otherwise keep one input busy for ages.
class Budget final : public CancelHook {
 public:
  explicit Budget(int polls) : left_(polls) {}
  bool should_stop() override { return --left_ < 0; }

 private:
  int left_;
};

/// A query's parameters, read from the input.
struct Query {
  std::u32string term;
  std::uint32_t max_dist;
  std::optional<std::uint64_t> limit;
};

inline Query read_query(Input& in) {
  Query q;
  q.max_dist = in.byte() % 4;
  const std::uint8_t limit = in.byte();
  if (limit >= 250)
    q.limit = limit - 250u;
  const std::size_t len = in.byte() % 12;
  const auto raw = in.take(len);
  q.term = decode_utf8(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
  return q;
}

/// A call's outcome: what it returned, or the message of the fault it ended
/// in; nullopt when it was cancelled (over budget: nothing to compare).
template <class F>
auto outcome_of(F&& f) -> std::optional<std::variant<decltype(f()), std::string>> {
  try {
    return f();
  } catch (const InternalFault& fault) {
    return fault.message();
  } catch (const Cancelled&) {
    return std::nullopt;  // over budget: nothing to compare
  }
}

/// Runs every query on `trie` and compares the walk with the reference.
inline void check_queries(const Trie& trie, const Query& q) {
  Budget budget(0);  // one poll: about 16k examined nodes per walk
  const WalkOptions options{q.max_dist, q.limit, &budget};
  const auto fast = outcome_of([&] { return fuzzy_match(trie, q.term, options); });
  if (!fast)
    return;
  if (*fast != outcome_of([&] { return testing::reference_fuzzy_match(trie, q.term, q.max_dist, q.limit); }))
    fail("fuzzy_match differs from the reference walk");
  for (const bool terminal_only : {true, false}) {
    const auto nodes = outcome_of([&] { return fuzzy_match_nodes(trie, q.term, options, terminal_only); });
    if (!nodes)
      return;
    if (*nodes != outcome_of([&] {
          return testing::reference_fuzzy_match_nodes(trie, q.term, q.max_dist, terminal_only, q.limit);
        }))
      fail("fuzzy_match_nodes differs from the reference walk");
  }
  for (const std::optional<bool> prefix : {std::optional<bool>(), std::optional<bool>(true)}) {
    VideoQuery vq{q.max_dist, q.limit, prefix, std::nullopt, &budget};
    (void)outcome_of([&] { return fuzzy_match_video(trie, q.term, vq); });
  }
}

}  // namespace quorvatel::fuzz

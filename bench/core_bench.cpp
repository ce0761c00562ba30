// Google Benchmark over the core alone (no Python): the walk per visited
// node on three tries, propagation and building, the snapshot codec and its
// varints.
//
// The tries are made here from word lists, the way bench/data.py makes its
// arrays: nodes numbered breadth-first, each node's children in the order
// they were first needed, one payload per stored term (a Zipf count and 1 to
// 5 videos), Int32 ids.
//   sample  QUORVATEL_BENCH_TERMS (default 100,000) words of
//           QUORVATEL_BENCH_WORDS (default /usr/share/dict/american-english),
//           shuffled with a fixed seed: a sparse sample of the list
//   dense   every word of /usr/share/dict/american-english and the
//           non-ASCII terms of bench/data.py, in bench/data.py's order
//   1m      bench/data.py's one million terms (the huge word list, then
//           two-word phrases), drawn here with Python's own generator and
//           seed, so the trie is the one bench.py measures
//   1m-preorder  the same trie with its nodes numbered in pre-order, as
//           quorvatel.build numbers them (not run unless asked for)
// QUORVATEL_BENCH_SETS picks the sets (default sample,dense,1m); the build
// and snapshot benchmarks run on the sample.
//
// "Visited nodes" are counted by the plain reference walk
// (tests/cpp/reference_walk.hpp): every child whose edit-distance row it
// fills, pruned subtrees not entered. The walk benchmarks divide their time
// by that count, so ns per visited node stays comparable whatever pruning the
// fast walk does internally; the reference walk's hits are checked against
// the fast walk's before timing. Each walk is timed on the walk form of the
// trie and on its plain arrays (the checked walk every trie had before), in
// the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "prefix/matcher/bit_walk.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "reference_walk.hpp"
#include "snapshot/varint.hpp"

namespace {

using namespace quorvatel;

constexpr std::uint64_t kTopN = 10;
constexpr std::uint32_t kSeed = 7;
constexpr std::size_t kQueries = 256;

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : std::string(fallback);
}

// ---------------------------------------------------------------- Python's random

/// CPython's Mersenne Twister as random.Random(int) seeds and uses it:
/// getrandbits, _randbelow, shuffle and choice give the values Python gives.
class PyRandom {
 public:
  explicit PyRandom(std::uint32_t seed) {
    // init_by_array with the one 32-bit word of a small int seed
    init(19650218u);
    std::size_t i = 1;
    for (std::size_t k = kN; k != 0; --k) {
      mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525u)) + seed;
      if (++i >= kN) {
        mt_[0] = mt_[kN - 1];
        i = 1;
      }
    }
    for (std::size_t k = kN - 1; k != 0; --k) {
      mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941u)) - static_cast<std::uint32_t>(i);
      if (++i >= kN) {
        mt_[0] = mt_[kN - 1];
        i = 1;
      }
    }
    mt_[0] = 0x80000000u;
  }

  std::uint32_t getrandbits(unsigned k) { return next() >> (32 - k); }

  std::size_t randbelow(std::size_t n) {
    const auto k = static_cast<unsigned>(std::bit_width(n));
    std::size_t r = getrandbits(k);
    while (r >= n)
      r = getrandbits(k);
    return r;
  }

  template <class T>
  void shuffle(std::vector<T>& x) {
    for (std::size_t i = x.size(); i-- > 1;)
      std::swap(x[i], x[randbelow(i + 1)]);
  }

 private:
  static constexpr std::size_t kN = 624;
  static constexpr std::size_t kM = 397;

  void init(std::uint32_t s) {
    mt_[0] = s;
    for (std::size_t i = 1; i < kN; ++i)
      mt_[i] = 1812433253u * (mt_[i - 1] ^ (mt_[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
    index_ = kN;
  }

  std::uint32_t next() {
    if (index_ >= kN) {
      for (std::size_t k = 0; k < kN; ++k) {
        const std::uint32_t y = (mt_[k] & 0x80000000u) | (mt_[(k + 1) % kN] & 0x7fffffffu);
        mt_[k] = mt_[(k + kM) % kN] ^ (y >> 1) ^ ((y & 1) != 0 ? 0x9908b0dfu : 0u);
      }
      index_ = 0;
    }
    std::uint32_t y = mt_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
  }

  std::array<std::uint32_t, kN> mt_{};
  std::size_t index_ = kN;
};

// ---------------------------------------------------------------- terms

const std::vector<std::u32string> kNonAscii = {U"café",  U"naïve",    U"smörgåsbord", U"jalapeño", U"straße",
                                               U"東京", U"😀 smile", U"señor",       U"façade",   U"über"};

/// Python's str.strip() for the characters a word list line can hold.
std::u32string strip(std::u32string s) {
  auto space = [](char32_t c) { return c == U' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0; };
  while (!s.empty() && space(s.back()))
    s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && space(s[i]))
    ++i;
  return s.substr(i);
}

/// The distinct non-empty stripped lines of a word list, in code-point order
/// (bench/data.py's words()).
std::vector<std::u32string> word_list(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read the word list " + path);
  std::vector<std::u32string> words;
  for (std::string line; std::getline(in, line);)
    if (std::u32string w = strip(decode_utf8(line)); !w.empty())
      words.push_back(std::move(w));
  std::ranges::sort(words);
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

/// bench/data.py's make_terms(count, seed) over `vocabulary`.
std::vector<std::u32string> make_terms(const std::vector<std::u32string>& vocabulary, std::size_t count,
                                       std::uint32_t seed) {
  PyRandom rng(seed);
  std::vector<std::u32string> terms = kNonAscii;
  std::vector<std::u32string> pool = vocabulary;
  rng.shuffle(pool);
  const std::size_t take = std::min(pool.size(), count > terms.size() ? count - terms.size() : 0);
  terms.insert(terms.end(), pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(take));
  std::unordered_set<std::u32string> seen(terms.begin(), terms.end());
  while (terms.size() < count) {
    std::u32string phrase = vocabulary[rng.randbelow(vocabulary.size())];
    phrase += U' ';
    phrase += vocabulary[rng.randbelow(vocabulary.size())];
    if (seen.insert(phrase).second)
      terms.push_back(std::move(phrase));
  }
  terms.resize(std::min(terms.size(), count));
  return terms;
}

// ---------------------------------------------------------------- arrays

/// The host's flat arrays for a list of terms, breadth-first, children in
/// the order they were first needed, and which term each node stores.
struct FlatArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> labels;
  std::vector<std::optional<std::size_t>> term_at;  // per node, the term stored there
  std::vector<std::uint32_t> edges;
};

FlatArrays flat_arrays(const std::vector<std::u32string>& terms, bool pre_order) {
  // Insertion trie: children found through one open-addressing table keyed
  // by (parent, character); a child's number is its creation.
  std::vector<std::uint32_t> parent{0};
  std::vector<char32_t> label{0};
  std::vector<std::optional<std::size_t>> ends(1);
  std::size_t chars = 0;
  for (const auto& t : terms)
    chars += t.size();
  std::size_t capacity = std::bit_ceil(2 * chars + 16);
  std::vector<std::uint64_t> keys(capacity, ~std::uint64_t{0});
  std::vector<std::uint32_t> values(capacity);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    std::uint32_t node = 0;
    for (const char32_t ch : terms[i]) {
      const std::uint64_t key = (std::uint64_t{node} << 21) | ch;
      std::size_t slot = (key * 0x9E3779B97F4A7C15ull) >> (64 - std::countr_zero(capacity));
      while (keys[slot] != key && keys[slot] != ~std::uint64_t{0})
        slot = (slot + 1) & (capacity - 1);
      if (keys[slot] == key) {
        node = values[slot];
        continue;
      }
      const auto child = static_cast<std::uint32_t>(label.size());
      keys[slot] = key;
      values[slot] = child;
      parent.push_back(node);
      label.push_back(ch);
      ends.emplace_back();
      node = child;
    }
    ends[node] = i;
  }
  std::vector<std::uint64_t>().swap(keys);
  std::vector<std::uint32_t>().swap(values);
  const std::size_t n = label.size();
  // Children of each node in creation order.
  std::vector<std::uint32_t> first(n + 1);
  for (std::size_t c = 1; c < n; ++c)
    ++first[parent[c] + 1];
  for (std::size_t i = 0; i < n; ++i)
    first[i + 1] += first[i];
  std::vector<std::uint32_t> kids(n > 0 ? n - 1 : 0);
  {
    std::vector<std::uint32_t> at(first.begin(), first.end() - 1);
    for (std::size_t c = 1; c < n; ++c)
      kids[at[parent[c]]++] = static_cast<std::uint32_t>(c);
  }
  std::vector<std::uint32_t> order{0};
  order.reserve(n);
  if (pre_order) {
    order.clear();
    std::vector<std::uint32_t> todo{0};
    while (!todo.empty()) {
      const std::uint32_t v = todo.back();
      todo.pop_back();
      order.push_back(v);
      for (std::uint32_t k = first[v + 1]; k-- > first[v];)
        todo.push_back(kids[k]);
    }
  } else {
    for (std::size_t i = 0; i < order.size(); ++i)
      for (std::uint32_t k = first[order[i]]; k < first[order[i] + 1]; ++k)
        order.push_back(kids[k]);
  }
  std::vector<std::uint32_t> number(n);
  for (std::size_t i = 0; i < n; ++i)
    number[order[i]] = static_cast<std::uint32_t>(i);

  FlatArrays a;
  a.node_shifts.reserve(n);
  a.labels.reserve(n);
  a.term_at.reserve(n);
  a.edges.reserve(kids.size());
  for (const std::uint32_t old : order) {
    a.node_shifts.push_back(static_cast<std::uint32_t>(a.edges.size()));
    for (std::uint32_t k = first[old]; k < first[old + 1]; ++k)
      a.edges.push_back(number[kids[k]]);
    a.labels.push_back(label[old]);
    a.term_at.push_back(ends[old]);
  }
  return a;
}

/// Payloads for every stored term: a Zipf count by term index and 1 to 5
/// videos of `video_count`.
struct Payloads {
  std::vector<std::optional<Payload>> per_node;
  ByteRows video_index;
};

Payloads make_payloads(const FlatArrays& a, std::size_t video_count, std::mt19937& rng) {
  Payloads p;
  std::uniform_int_distribution<std::uint32_t> video(0, static_cast<std::uint32_t>(video_count - 1));
  std::uniform_int_distribution<std::uint32_t> count(1, 1000);
  std::uniform_int_distribution<std::size_t> per_term(1, 5);
  p.per_node.reserve(a.term_at.size());
  for (const auto& t : a.term_at) {
    if (!t) {
      p.per_node.emplace_back(std::nullopt);
      continue;
    }
    Payload x;
    x.count = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(1e6 / std::pow(double(*t + 1), 1.1)));
    for (std::size_t v = per_term(rng); v > 0; --v) {
      x.video_ids.push_back(video(rng));
      x.video_counts.push_back(count(rng));
    }
    p.per_node.emplace_back(std::move(x));
  }
  std::uniform_int_distribution<std::uint32_t> id;
  for (std::size_t v = 0; v < video_count; ++v) {
    const std::uint32_t x = id(rng);
    for (int b = 0; b < 4; ++b)
      p.video_index.push_byte(static_cast<std::uint8_t>(x >> (8 * b)));
    p.video_index.end_row();
  }
  return p;
}

/// The assembled trie before propagation, field by field.
Trie unpropagated(const FlatArrays& a, const Payloads& p) {
  Trie t;
  t.node_shifts = a.node_shifts;
  t.child_labels = a.labels;
  t.child_transitions = a.edges;
  for (const auto& x : p.per_node) {
    t.payloads.push(x);
    t.terminal_flags.push_back(x ? 1 : 0);
  }
  t.id_mode = IdMode::Int32;
  for (std::size_t v = 0; v < p.video_index.size(); ++v) {
    const auto row = p.video_index.row(v);
    std::uint32_t x = 0;
    for (std::size_t b = 0; b < 4; ++b)
      x |= static_cast<std::uint32_t>(row[b]) << (8 * b);
    t.video_int_ids.push_back(x);
  }
  return t;
}

std::u32string one_edit(std::u32string s, std::mt19937& rng) {
  static constexpr std::u32string_view kLetters = U"abcdefghijklmnopqrstuvwxyz";
  std::uniform_int_distribution<std::size_t> letter(0, kLetters.size() - 1);
  const int op = s.size() > 1 ? std::uniform_int_distribution<int>(0, 2)(rng) : 0;
  if (op == 0) {
    const std::size_t i = std::uniform_int_distribution<std::size_t>(0, s.size())(rng);
    s.insert(s.begin() + static_cast<std::ptrdiff_t>(i), kLetters[letter(rng)]);
  } else {
    const std::size_t i = std::uniform_int_distribution<std::size_t>(0, s.size() - 1)(rng);
    if (op == 1)
      s.erase(i, 1);
    else
      s[i] = kLetters[letter(rng)];
  }
  return s;
}

// ---------------------------------------------------------------- sets

struct Set {
  std::string name;
  std::vector<std::u32string> terms;
  Trie trie;   // walk form
  Trie plain;  // the same arrays, plain
  std::vector<std::u32string> queries;  // half stored terms, half with one edit
  std::map<std::uint32_t, std::size_t> visited;  // per max_dist, over all queries
  // The sample keeps what the build benchmarks need.
  std::optional<FlatArrays> arrays;
  std::optional<Payloads> payloads;
  Trie raw;  // before propagation
};

std::vector<std::u32string> set_terms(const std::string& name) {
  if (name == "sample") {
    const std::string path = env_or("QUORVATEL_BENCH_WORDS", "/usr/share/dict/american-english");
    const std::size_t want = std::stoul(env_or("QUORVATEL_BENCH_TERMS", "100000"));
    std::vector<std::u32string> terms;
    std::ifstream in(path);
    if (!in)
      throw std::runtime_error("cannot read the word list " + path);
    std::unordered_set<std::u32string> seen;
    for (std::string line; std::getline(in, line);) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
      if (line.empty())
        continue;
      std::u32string w = decode_utf8(line);
      if (seen.insert(w).second)
        terms.push_back(std::move(w));
    }
    std::mt19937 rng(kSeed);
    std::shuffle(terms.begin(), terms.end(), rng);
    if (terms.size() > want)
      terms.resize(want);
    return terms;
  }
  if (name == "dense") {
    const auto words = word_list("/usr/share/dict/american-english");
    return make_terms(words, words.size() + kNonAscii.size(), kSeed);
  }
  if (name == "1m" || name == "1m-preorder")
    return make_terms(word_list("/usr/share/dict/american-english-huge"), 1000000, kSeed);
  throw std::runtime_error("unknown set " + name);
}

/// The bytes per node of the arrays the walk reads (node ranges, edges,
/// labels in either form, terminal flags), without the payloads and videos.
double walk_bytes_per_node(const Trie& t) {
  const double bytes = double(t.node_shifts.capacity() * 4 + t.child_transitions.capacity() * 4 +
                              t.child_labels.capacity() * 4 + t.terminal_flags.capacity() + t.layout_memory_bytes());
  return bytes / double(t.node_count());
}

std::unique_ptr<Set> make_set(const std::string& name) {
  auto s = std::make_unique<Set>();
  s->name = name;
  s->terms = set_terms(name);
  std::mt19937 rng(kSeed);
  FlatArrays arrays = flat_arrays(s->terms, name.ends_with("-preorder"));
  Payloads payloads = make_payloads(arrays, std::max<std::size_t>(1, s->terms.size() / 4), rng);
  auto built = build_trie(arrays.node_shifts, arrays.labels, payloads.per_node, arrays.edges, payloads.video_index,
                          kTopN);
  if (!built)
    throw std::runtime_error("build_trie refused the arrays: " + built.error().message);
  s->trie = std::move(*built);
  if (!s->trie.layout)
    throw std::runtime_error("the " + name + " trie did not take the walk form");
  s->plain = s->trie;
  s->plain.drop_layout();
  if (name == "sample") {
    s->raw = unpropagated(arrays, payloads);
    Trie check = s->raw;
    check.propagate(kTopN);
    if (!(check == s->trie))
      throw std::runtime_error("propagating the assembled trie does not give build_trie's trie");
    s->arrays = std::move(arrays);
    s->payloads = std::move(payloads);
  }
  std::uniform_int_distribution<std::size_t> pick(0, s->terms.size() - 1);
  for (std::size_t i = 0; i < kQueries; ++i)
    s->queries.push_back(i % 2 == 0 ? s->terms[pick(rng)] : one_edit(s->terms[pick(rng)], rng));
  for (const std::uint32_t k : {1u, 2u}) {
    std::size_t total = 0;
    for (const auto& q : s->queries) {
      testing::ReferenceWalk w(s->trie, q, k, std::nullopt, true, false);
      w.run();
      if (w.terms != fuzzy_match(s->trie, q, WalkOptions{k, std::nullopt, nullptr}) ||
          w.terms != fuzzy_match(s->plain, q, WalkOptions{k, std::nullopt, nullptr}))
        throw std::runtime_error("the reference walk and fuzzy_match disagree on " + encode_utf8(q));
      total += w.visited;
    }
    s->visited[k] = total;
  }
  // FNV-1a over the terms' UTF-8, each followed by a line feed: the same
  // number from bench/data.py's terms says the sets agree.
  std::size_t chars = 0;
  std::uint64_t fingerprint = 0xcbf29ce484222325ull;
  for (const auto& t : s->terms) {
    chars += t.size();
    for (const char b : encode_utf8(t) + "\n")
      fingerprint = (fingerprint ^ static_cast<unsigned char>(b)) * 0x100000001b3ull;
  }
  std::fprintf(stderr,
               "core_bench: set %s: %zu terms (%zu code points, fingerprint %016llx), %zu nodes, %zu video entries; "
               "walk arrays %.2f B/node in walk form (labels %zu wide), %.2f B/node plain\n",
               name.c_str(), s->terms.size(), chars, static_cast<unsigned long long>(fingerprint),
               s->trie.node_count(), s->trie.payloads.entry_count(),
               walk_bytes_per_node(s->trie), s->trie.layout->wide_labels.size(), walk_bytes_per_node(s->plain));
  return s;
}

const Set& set(std::string_view name_view) {
  const std::string name(name_view);
  static std::map<std::string, std::unique_ptr<Set>> sets;
  auto& slot = sets[name];
  if (!slot)
    slot = make_set(name);
  return *slot;
}

// ---------------------------------------------------------------- timing helpers

/// `per` items (or bytes) for each iteration run so far.
std::int64_t per_run(const benchmark::State& state, std::size_t per) {
  return state.iterations() * static_cast<std::int64_t>(per);
}

/// Times `one(query)` for every query of the set in each iteration, and
/// reports visited nodes per query, time per visited node, and the median
/// and 99th percentile of the single queries.
template <class F>
void time_queries(benchmark::State& state, const Set& s, std::uint32_t k, F&& one) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> seconds;
  seconds.reserve(kQueries * 16);
  for (auto _ : state)
    for (const auto& q : s.queries) {
      const auto start = Clock::now();
      one(q);
      seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
  std::ranges::sort(seconds);
  const std::size_t visited = s.visited.at(k);
  state.counters["visited/query"] = double(visited) / double(s.queries.size());
  state.counters["per_visited_node"] =
      benchmark::Counter(double(visited), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["median_us"] = seconds.empty() ? 0.0 : seconds[seconds.size() / 2] * 1e6;
  state.counters["p99_us"] = seconds.empty() ? 0.0 : seconds[seconds.size() * 99 / 100] * 1e6;
  state.SetItemsProcessed(per_run(state, s.queries.size()));
}

// ---------------------------------------------------------------- walks

void BM_FuzzyMatch(benchmark::State& state, const std::string& name, std::uint32_t k, bool walk_form) {
  const Set& s = set(name);
  const Trie& t = walk_form ? s.trie : s.plain;
  const WalkOptions options{k, std::nullopt, nullptr};
  time_queries(state, s, k, [&](const std::u32string& q) { benchmark::DoNotOptimize(fuzzy_match(t, q, options)); });
}

void BM_FuzzyMatchNodes(benchmark::State& state, const std::string& name, std::uint32_t k, bool walk_form) {
  const Set& s = set(name);
  const Trie& t = walk_form ? s.trie : s.plain;
  const WalkOptions options{k, std::nullopt, nullptr};
  time_queries(state, s, k,
               [&](const std::u32string& q) { benchmark::DoNotOptimize(fuzzy_match_nodes(t, q, options, false)); });
}

void BM_FuzzyMatchVideo(benchmark::State& state, const std::string& name, std::uint32_t k, bool walk_form) {
  const Set& s = set(name);
  const Trie& t = walk_form ? s.trie : s.plain;
  VideoQuery query;
  query.max_dist = k;
  query.limit = 10;
  time_queries(state, s, k, [&](const std::u32string& q) { benchmark::DoNotOptimize(fuzzy_match_video(t, q, query)); });
}

/// The bit walk with one part changed, on node hits, for comparing the parts
/// within one run.
void BM_BitWalkTuning(benchmark::State& state, const std::string& name, std::uint32_t k,
                      matcher::BitWalkTuning tuning) {
  const Set& s = set(name);
  const TrieView view(s.trie);
  std::vector<NodeMatch> out;
  auto on_hit = [&](std::size_t c, std::uint32_t distance, char32_t, const std::vector<char32_t>&) {
    out.push_back({c, distance});
    return false;
  };
  time_queries(state, s, k, [&](const std::u32string& q) {
    out.clear();
    if (q.size() > matcher::kBitRowsMaxTerm)
      return;
    if (k == 1)
      matcher::bit_walk<1, false>(view, q, nullptr, tuning, on_hit);
    else
      matcher::bit_walk<2, false>(view, q, nullptr, tuning, on_hit);
    benchmark::DoNotOptimize(out.data());
  });
}

void BM_DeriveLayout(benchmark::State& state, const std::string& name) {
  const Set& s = set(name);
  for (auto _ : state) {
    state.PauseTiming();
    Trie t = s.plain;
    state.ResumeTiming();
    t.derive_layout();
    benchmark::DoNotOptimize(t.layout);
    state.PauseTiming();
    t = Trie{};
    state.ResumeTiming();
  }
  state.counters["per_node"] = benchmark::Counter(double(s.trie.node_count()),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

// ---------------------------------------------------------------- build and snapshots (sample)

void BM_Propagate(benchmark::State& state) {
  const Set& s = set("sample");
  for (auto _ : state) {
    state.PauseTiming();
    Trie t = s.raw;
    state.ResumeTiming();
    t.propagate(kTopN);
    benchmark::DoNotOptimize(t.payloads.entry_count());
    state.PauseTiming();
    t = Trie{};  // freeing is not part of propagation
    state.ResumeTiming();
  }
  state.counters["nodes"] = double(s.raw.node_count());
  state.counters["per_node"] = benchmark::Counter(double(s.raw.node_count()),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}

void BM_BuildTrie(benchmark::State& state) {
  const Set& s = set("sample");
  for (auto _ : state) {
    state.PauseTiming();
    auto shifts = s.arrays->node_shifts;
    auto labels = s.arrays->labels;
    auto edges = s.arrays->edges;
    state.ResumeTiming();
    auto t = build_trie(std::move(shifts), std::move(labels), s.payloads->per_node, std::move(edges),
                        s.payloads->video_index, kTopN);
    benchmark::DoNotOptimize(t);
    state.PauseTiming();
    t = Trie{};
    state.ResumeTiming();
  }
  state.counters["terms/s"] = benchmark::Counter(double(s.terms.size()), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SnapshotEncodedSize(benchmark::State& state, const std::string& name) {
  const Set& s = set(name);
  const std::size_t size = snapshot::encoded_size(s.trie);
  for (auto _ : state)
    benchmark::DoNotOptimize(snapshot::encoded_size(s.trie));
  state.SetBytesProcessed(per_run(state, size));
}

void BM_SnapshotEncode(benchmark::State& state, const std::string& name, bool walk_form) {
  const Set& s = set(name);
  const Trie& t = walk_form ? s.trie : s.plain;
  const std::size_t size = snapshot::encoded_size(t);
  for (auto _ : state)
    benchmark::DoNotOptimize(snapshot::encode(t));
  state.SetBytesProcessed(per_run(state, size));
}

void BM_SnapshotDecode(benchmark::State& state, const std::string& name) {
  const Set& s = set(name);
  const auto bytes = snapshot::encode(s.trie);
  {
    auto back = snapshot::decode(bytes);
    if (!back || !(*back == s.trie) || snapshot::encode(s.plain) != bytes) {
      state.SkipWithError("decode(encode(trie)) does not give the trie back");
      return;
    }
  }
  for (auto _ : state) {
    auto t = snapshot::decode(bytes);
    benchmark::DoNotOptimize(t);
    state.PauseTiming();
    t = Trie{};
    state.ResumeTiming();
  }
  state.SetBytesProcessed(per_run(state, bytes.size()));
}

/// The u32 values a snapshot of the sample holds: node shifts, edges and
/// every payload's count, ids and counts, in that order.
const std::vector<std::uint32_t>& varint_values() {
  static const std::vector<std::uint32_t> values = [] {
    const Trie& t = set("sample").trie;
    std::vector<std::uint32_t> v(t.node_shifts.begin(), t.node_shifts.end());
    v.insert(v.end(), t.child_transitions.begin(), t.child_transitions.end());
    for (std::size_t i = 0; i < t.payloads.size(); ++i) {
      const auto p = t.payloads.get(i);
      if (!p)
        continue;
      v.push_back(p->count);
      for (const auto& e : p->entries) {
        v.push_back(e.id);
        v.push_back(e.count);
      }
    }
    return v;
  }();
  return values;
}

std::vector<std::uint8_t> varint_bytes() {
  const auto& values = varint_values();
  snapshot::CountingWriter count;
  for (const std::uint32_t x : values)
    snapshot::write_varint(count, x);
  std::vector<std::uint8_t> out(count.size());
  snapshot::SpanWriter w(out);
  for (const std::uint32_t x : values)
    snapshot::write_varint(w, x);
  return out;
}

void BM_VarintWrite(benchmark::State& state) {
  const auto& values = varint_values();
  std::vector<std::uint8_t> out(varint_bytes().size());
  for (auto _ : state) {
    snapshot::SpanWriter w(out);
    for (const std::uint32_t x : values)
      snapshot::write_varint(w, x);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(per_run(state, values.size()));
  state.SetBytesProcessed(per_run(state, out.size()));
}

void BM_VarintRead(benchmark::State& state) {
  const auto& values = varint_values();
  const auto bytes = varint_bytes();
  for (auto _ : state) {
    snapshot::Reader in(bytes);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto v = snapshot::read_u32(in);
      if (!v) [[unlikely]] {
        state.SkipWithError("read_u32 failed");
        return;
      }
      sum += *v;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(per_run(state, values.size()));
  state.SetBytesProcessed(per_run(state, bytes.size()));
}

void BM_VarintReadRun(benchmark::State& state) {
  const auto& values = varint_values();
  const auto bytes = varint_bytes();
  std::vector<std::uint32_t> out;
  out.reserve(values.size());
  for (auto _ : state) {
    out.clear();
    snapshot::Reader in(bytes);
    auto done = snapshot::read_u32_run(
        in, values.size(),
        [&](std::size_t k) {
          const std::size_t at = out.size();
          out.resize(at + k);
          return out.data() + at;
        },
        [](std::uint32_t& slot, std::uint32_t v) { slot = v; });
    if (!done) [[unlikely]] {
      state.SkipWithError("read_u32_run failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != values)
    state.SkipWithError("read_u32_run does not give back the values written");
  state.SetItemsProcessed(per_run(state, values.size()));
  state.SetBytesProcessed(per_run(state, bytes.size()));
}

std::vector<std::string> chosen_sets() {
  std::vector<std::string> out;
  std::stringstream list(env_or("QUORVATEL_BENCH_SETS", "sample,dense,1m"));
  for (std::string name; std::getline(list, name, ',');)
    if (!name.empty())
      out.push_back(name);
  return out;
}

/// The fastest repetition: on a shared machine the least disturbed one.
double fastest(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::ranges::min_element(v); }

void register_all() {
  auto RegisterBenchmark = [](const std::string& name, auto&&... args) {
    return benchmark::RegisterBenchmark(name, std::forward<decltype(args)>(args)...)->ComputeStatistics("min", fastest);
  };
  const auto sets = chosen_sets();
  for (const auto& name : sets) {
    for (const std::uint32_t k : {1u, 2u}) {
      const std::string suffix = "/" + name + "/k:" + std::to_string(k);
      for (const bool walk_form : {true, false}) {
        const std::string form = walk_form ? "" : "/plain";
        RegisterBenchmark("BM_FuzzyMatch" + suffix + form, BM_FuzzyMatch, name, k, walk_form)
            ->Unit(benchmark::kMillisecond);
        RegisterBenchmark("BM_FuzzyMatchNodes" + suffix + form, BM_FuzzyMatchNodes, name, k, walk_form)
            ->Unit(benchmark::kMillisecond);
        RegisterBenchmark("BM_FuzzyMatchVideo" + suffix + form, BM_FuzzyMatchVideo, name, k, walk_form)
            ->Unit(benchmark::kMillisecond);
      }
      const std::pair<const char*, matcher::BitWalkTuning> tunings[] = {
          {"default", {}},
          {"no_heights", {2, false, true}},
          {"no_prefetch", {2, true, false}},
          {"direct_0", {0, true, true}},
          {"direct_1", {1, true, true}},
          {"direct_4", {4, true, true}},
          {"direct_all", {1u << 30, true, true}},
      };
      for (const auto& [label, tuning] : tunings)
        RegisterBenchmark("BM_BitWalkTuning" + suffix + "/" + label, BM_BitWalkTuning, name, k, tuning)
            ->Unit(benchmark::kMillisecond);
    }
    RegisterBenchmark("BM_DeriveLayout/" + name, BM_DeriveLayout, name)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_SnapshotEncodedSize/" + name, BM_SnapshotEncodedSize, name)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_SnapshotEncode/" + name, BM_SnapshotEncode, name, true)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_SnapshotEncode/" + name + "/plain", BM_SnapshotEncode, name, false)
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_SnapshotDecode/" + name, BM_SnapshotDecode, name)->Unit(benchmark::kMillisecond);
  }
  if (std::ranges::find(sets, "sample") != sets.end()) {
    RegisterBenchmark("BM_Propagate", BM_Propagate)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_BuildTrie", BM_BuildTrie)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_VarintWrite", BM_VarintWrite)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_VarintRead", BM_VarintRead)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("BM_VarintReadRun", BM_VarintReadRun)->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Google Benchmark over the core alone (no Python): the walk per visited
// node, propagation and building, the snapshot codec and its varints.
//
// The trie is made here from a word list, the way bench/data.py makes its
// arrays: words shuffled with a fixed seed, nodes numbered breadth-first,
// one payload per stored word (a Zipf count and 1 to 5 videos), Int32 ids.
//   QUORVATEL_BENCH_WORDS  word list, one word a line (default
//                          /usr/share/dict/american-english)
//   QUORVATEL_BENCH_TERMS  how many distinct words to store (default 100000)
//
// "Visited nodes" are counted by a plain recursive walk kept in this file:
// every child whose edit-distance row it fills, pruned subtrees not entered.
// The walk benchmarks divide their time by that count, so ns per visited
// node stays comparable whatever pruning the fast walk does internally; the
// plain walk's hits are checked against the fast walk's before timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/utf8.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"
#include "prefix/trie/builder.hpp"
#include "prefix/trie/trie.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/varint.hpp"

namespace {

using namespace quorvatel;

constexpr std::uint64_t kTopN = 10;
constexpr std::uint32_t kSeed = 7;

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : std::string(fallback);
}

/// The host's flat arrays for a list of terms, breadth-first.
struct FlatArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<char32_t> labels;
  std::vector<std::optional<Payload>> payloads;
  std::vector<std::uint32_t> edges;
  ByteRows video_index;
  std::size_t video_count = 0;
};

FlatArrays flat_arrays(const std::vector<std::u32string>& terms, std::mt19937& rng) {
  // Insertion trie: children in the order they were first needed.
  std::vector<std::vector<std::pair<char32_t, std::uint32_t>>> kids(1);
  std::vector<char32_t> label{0};
  std::vector<std::optional<std::size_t>> ends(1);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    std::uint32_t node = 0;
    for (const char32_t ch : terms[i]) {
      auto& row = kids[node];
      auto it = std::find_if(row.begin(), row.end(), [ch](const auto& e) { return e.first == ch; });
      if (it == row.end()) {
        const auto next = static_cast<std::uint32_t>(label.size());
        row.emplace_back(ch, next);
        kids.emplace_back();
        label.push_back(ch);
        ends.emplace_back();
        node = next;
      } else {
        node = it->second;
      }
    }
    ends[node] = i;
  }
  std::vector<std::uint32_t> order{0};
  for (std::size_t i = 0; i < order.size(); ++i)
    for (const auto& e : kids[order[i]])
      order.push_back(e.second);
  std::vector<std::uint32_t> number(order.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    number[order[i]] = static_cast<std::uint32_t>(i);

  FlatArrays a;
  a.video_count = std::max<std::size_t>(1, terms.size() / 4);
  std::uniform_int_distribution<std::uint32_t> video(0, static_cast<std::uint32_t>(a.video_count - 1));
  std::uniform_int_distribution<std::uint32_t> video_count(1, 1000);
  std::uniform_int_distribution<std::size_t> videos_per_term(1, 5);
  for (const std::uint32_t old : order) {
    a.node_shifts.push_back(static_cast<std::uint32_t>(a.edges.size()));
    for (const auto& e : kids[old])
      a.edges.push_back(number[e.second]);
    a.labels.push_back(label[old]);
    if (!ends[old]) {
      a.payloads.emplace_back(std::nullopt);
      continue;
    }
    Payload p;
    p.count = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(1e6 / std::pow(double(*ends[old] + 1), 1.1)));
    const std::size_t n = videos_per_term(rng);
    for (std::size_t v = 0; v < n; ++v) {
      p.video_ids.push_back(video(rng));
      p.video_counts.push_back(video_count(rng));
    }
    a.payloads.emplace_back(std::move(p));
  }
  std::uniform_int_distribution<std::uint32_t> id;
  for (std::size_t v = 0; v < a.video_count; ++v) {
    const std::uint32_t x = id(rng);
    for (int b = 0; b < 4; ++b)
      a.video_index.push_byte(static_cast<std::uint8_t>(x >> (8 * b)));
    a.video_index.end_row();
  }
  return a;
}

/// The assembled trie before propagation, field by field.
Trie unpropagated(const FlatArrays& a) {
  Trie t;
  t.node_shifts = a.node_shifts;
  t.child_labels = a.labels;
  t.child_transitions = a.edges;
  for (const auto& p : a.payloads) {
    t.payloads.push(p);
    t.terminal_flags.push_back(p ? 1 : 0);
  }
  t.id_mode = IdMode::Int32;
  for (std::size_t v = 0; v < a.video_index.size(); ++v) {
    const auto row = a.video_index.row(v);
    std::uint32_t x = 0;
    for (std::size_t b = 0; b < 4; ++b)
      x |= static_cast<std::uint32_t>(row[b]) << (8 * b);
    t.video_int_ids.push_back(x);
  }
  return t;
}

/// The plain walk, counting the nodes whose row it fills.
class CountingWalk {
 public:
  CountingWalk(const Trie& trie, std::u32string_view term, std::uint32_t max_dist)
      : trie_(trie), term_(term), max_dist_(max_dist),
        rows_(term.size() + max_dist + 2, std::vector<std::uint32_t>(term.size() + 1)) {
    std::iota(rows_[0].begin(), rows_[0].end(), 0u);
  }

  void run() {
    if (trie_.node_count() != 0)
      dfs(0, 0);
  }

  std::size_t visited = 0;
  std::vector<MatchResult> hits;

 private:
  void dfs(std::size_t node, std::size_t depth) {
    const EdgeRange r = trie_.edge_range(node);
    for (std::size_t e = r.begin; e < r.end; ++e) {
      const std::size_t c = trie_.child(e);
      const char32_t x = trie_.label(c);
      if (x == 0)
        continue;
      ++visited;
      const auto& prev = rows_[depth];
      auto& cur = rows_[depth + 1];
      cur[0] = static_cast<std::uint32_t>(depth + 1);
      std::uint32_t low = cur[0];
      for (std::size_t j = 1; j <= term_.size(); ++j) {
        cur[j] = std::min({prev[j - 1] + (term_[j - 1] == x ? 0u : 1u), prev[j] + 1, cur[j - 1] + 1});
        low = std::min(low, cur[j]);
      }
      if (low > max_dist_)
        continue;
      path_.push_back(x);
      if (cur[term_.size()] <= max_dist_ && trie_.terminal(c))
        hits.push_back({encode_utf8(path_), c, cur[term_.size()]});
      dfs(c, depth + 1);
      path_.pop_back();
    }
  }

  const Trie& trie_;
  std::u32string_view term_;
  std::uint32_t max_dist_;
  std::vector<std::vector<std::uint32_t>> rows_;
  std::u32string path_;
};

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

struct Fixture {
  std::vector<std::u32string> terms;
  FlatArrays arrays;
  Trie raw;   // before propagation
  Trie trie;  // built by build_trie
  std::vector<std::uint8_t> snapshot;
  std::vector<std::u32string> queries;  // half stored words, half with one edit
  std::map<std::uint32_t, std::size_t> visited;  // per max_dist, over all queries

  Fixture() {
    const std::string path = env_or("QUORVATEL_BENCH_WORDS", "/usr/share/dict/american-english");
    const std::size_t want = std::stoul(env_or("QUORVATEL_BENCH_TERMS", "100000"));
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
    arrays = flat_arrays(terms, rng);
    raw = unpropagated(arrays);
    auto built = build_trie(arrays.node_shifts, arrays.labels, arrays.payloads, arrays.edges, arrays.video_index,
                            kTopN);
    if (!built)
      throw std::runtime_error("build_trie refused the arrays: " + built.error().message);
    trie = std::move(*built);
    Trie check = raw;
    check.propagate(kTopN);
    if (!(check == trie))
      throw std::runtime_error("propagating the assembled trie does not give build_trie's trie");
    snapshot = snapshot::encode(trie);
    std::uniform_int_distribution<std::size_t> pick(0, terms.size() - 1);
    for (int i = 0; i < 256; ++i)
      queries.push_back(i % 2 == 0 ? terms[pick(rng)] : one_edit(terms[pick(rng)], rng));
    for (const std::uint32_t k : {1u, 2u}) {
      std::size_t total = 0;
      for (const auto& q : queries) {
        CountingWalk w(trie, q, k);
        w.run();
        if (w.hits != fuzzy_match(trie, q, WalkOptions{k, std::nullopt, nullptr}))
          throw std::runtime_error("the plain walk and fuzzy_match disagree on " + encode_utf8(q));
        total += w.visited;
      }
      visited[k] = total;
    }
    std::fprintf(stderr, "core_bench: %zu terms from %s, %zu nodes, %zu video entries, snapshot %zu bytes\n",
                 terms.size(), path.c_str(), trie.node_count(), trie.payloads.entry_count(), snapshot.size());
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

/// `per` items (or bytes) for each iteration run so far.
std::int64_t per_run(const benchmark::State& state, std::size_t per) {
  return state.iterations() * static_cast<std::int64_t>(per);
}

void per_visited_node(benchmark::State& state, std::size_t visited) {
  state.counters["visited/query"] = double(visited) / double(fixture().queries.size());
  state.counters["per_visited_node"] =
      benchmark::Counter(double(visited), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(per_run(state, fixture().queries.size()));
}

void BM_FuzzyMatch(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto k = static_cast<std::uint32_t>(state.range(0));
  const WalkOptions options{k, std::nullopt, nullptr};
  for (auto _ : state)
    for (const auto& q : f.queries)
      benchmark::DoNotOptimize(fuzzy_match(f.trie, q, options));
  per_visited_node(state, f.visited.at(k));
}
BENCHMARK(BM_FuzzyMatch)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_FuzzyMatchNodes(benchmark::State& state) {
  const Fixture& f = fixture();
  const auto k = static_cast<std::uint32_t>(state.range(0));
  const WalkOptions options{k, std::nullopt, nullptr};
  for (auto _ : state)
    for (const auto& q : f.queries)
      benchmark::DoNotOptimize(fuzzy_match_nodes(f.trie, q, options, false));
  per_visited_node(state, f.visited.at(k));
}
BENCHMARK(BM_FuzzyMatchNodes)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_FuzzyMatchVideo(benchmark::State& state) {
  const Fixture& f = fixture();
  VideoQuery query;
  query.max_dist = static_cast<std::uint32_t>(state.range(0));
  query.limit = 10;
  for (auto _ : state)
    for (const auto& q : f.queries)
      benchmark::DoNotOptimize(fuzzy_match_video(f.trie, q, query));
  per_visited_node(state, f.visited.at(query.max_dist));
}
BENCHMARK(BM_FuzzyMatchVideo)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_Propagate(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    state.PauseTiming();
    Trie t = f.raw;
    state.ResumeTiming();
    t.propagate(kTopN);
    benchmark::DoNotOptimize(t.payloads.entry_count());
    state.PauseTiming();
    t = Trie{};  // freeing is not part of propagation
    state.ResumeTiming();
  }
  state.counters["nodes"] = double(f.raw.node_count());
  state.counters["per_node"] = benchmark::Counter(double(f.raw.node_count()),
                                                  benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
}
BENCHMARK(BM_Propagate)->Unit(benchmark::kMillisecond);

void BM_BuildTrie(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    state.PauseTiming();
    auto shifts = f.arrays.node_shifts;
    auto labels = f.arrays.labels;
    auto edges = f.arrays.edges;
    state.ResumeTiming();
    auto t = build_trie(std::move(shifts), std::move(labels), f.arrays.payloads, std::move(edges),
                        f.arrays.video_index, kTopN);
    benchmark::DoNotOptimize(t);
    state.PauseTiming();
    t = Trie{};
    state.ResumeTiming();
  }
  state.counters["terms/s"] = benchmark::Counter(double(f.terms.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_BuildTrie)->Unit(benchmark::kMillisecond);

void BM_SnapshotEncodedSize(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state)
    benchmark::DoNotOptimize(snapshot::encoded_size(f.trie));
  state.SetBytesProcessed(per_run(state, f.snapshot.size()));
}
BENCHMARK(BM_SnapshotEncodedSize)->Unit(benchmark::kMillisecond);

void BM_SnapshotEncode(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state)
    benchmark::DoNotOptimize(snapshot::encode(f.trie));
  state.SetBytesProcessed(per_run(state, f.snapshot.size()));
}
BENCHMARK(BM_SnapshotEncode)->Unit(benchmark::kMillisecond);

void BM_SnapshotDecode(benchmark::State& state) {
  const Fixture& f = fixture();
  {
    auto back = snapshot::decode(f.snapshot);
    if (!back || !(*back == f.trie)) {
      state.SkipWithError("decode(encode(trie)) does not give the trie back");
      return;
    }
  }
  for (auto _ : state) {
    auto t = snapshot::decode(f.snapshot);
    benchmark::DoNotOptimize(t);
    state.PauseTiming();
    t = Trie{};
    state.ResumeTiming();
  }
  state.SetBytesProcessed(per_run(state, f.snapshot.size()));
}
BENCHMARK(BM_SnapshotDecode)->Unit(benchmark::kMillisecond);

/// The u32 values a snapshot of the fixture holds: node shifts, edges and
/// every payload's count, ids and counts, in that order.
const std::vector<std::uint32_t>& varint_values() {
  static const std::vector<std::uint32_t> values = [] {
    const Trie& t = fixture().trie;
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
BENCHMARK(BM_VarintWrite)->Unit(benchmark::kMillisecond);

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
BENCHMARK(BM_VarintRead)->Unit(benchmark::kMillisecond);

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
BENCHMARK(BM_VarintReadRun)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

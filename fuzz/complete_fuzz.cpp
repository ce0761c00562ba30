// Decodes arbitrary bytes as a snapshot (after the same query header as the
// snapshot target) and runs completion and suggestion on it: a trie the
// bounds refuse must be refused, any other must give exactly the plain
// reference's results. The search reads the trie unchecked once the bounds
// are derived, so this target (under the sanitizers) checks that derivation
// proves every read it lets through.
#include "fuzz_support.hpp"
#include "prefix/complete/search.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "reference_complete.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvatel;
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  auto trie = snapshot::decode(in.rest());
  if (!trie)
    return 0;
  const complete::SubtreeBounds bounds = complete::SubtreeBounds::derive(*trie);
  for (const complete::Mode mode : {complete::Mode::Complete, complete::Mode::Suggest}) {
    complete::Request request;
    request.mode = mode;
    request.text = query.term;
    request.limit = query.limit.value_or(1000);
    // The header's bytes also choose the typo policy.
    request.policy.max_dist = query.max_dist == 3 ? std::nullopt : std::optional<std::uint32_t>(query.max_dist);
    request.policy.prefix_length = query.term.size() % 3;
    request.policy.transpositions = query.limit.value_or(0) % 2 == 0;
    fuzz::Budget budget(4);
    request.cancel = &budget;
    std::optional<Result<std::vector<complete::Completion>>> found;
    try {
      found = complete::search(*trie, bounds, request);
    } catch (const Cancelled&) {
      continue;  // over budget
    }
    if (!bounds.usable()) {
      if (*found)
        fuzz::fail("a search on a trie the bounds refuse gave results");
      continue;
    }
    if (!*found)
      fuzz::fail("a search on a usable trie failed");
    if (trie->node_count() <= 4096 && testing::rows_of(**found) != testing::reference_search(*trie, request))
      fuzz::fail("the search differs from the reference");
  }
  return 0;
}

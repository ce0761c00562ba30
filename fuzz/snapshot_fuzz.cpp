// Decodes arbitrary bytes as a snapshot; whatever decodes must re-encode to
// bytes that decode to the same trie, and must answer every query with a
// result or an internal fault, the same as the reference walk.
#include "fuzz_support.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/decode_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvatel;
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  auto trie = snapshot::decode(in.rest());
  if (!trie) {
    if (snapshot::to_string(trie.error()).empty())
      fuzz::fail("a decode error printed as nothing");
    return 0;
  }
  const std::vector<std::uint8_t> bytes = snapshot::encode(*trie);
  if (bytes.size() != snapshot::encoded_size(*trie))
    fuzz::fail("encoded size differs from the size pass");
  auto again = snapshot::decode(bytes);
  if (!again || !(*again == *trie) || snapshot::encode(*again) != bytes)
    fuzz::fail("snapshot does not round-trip");
  fuzz::check_queries(*trie, query);
  return 0;
}

// Decodes arbitrary bytes as a snapshot with the codec and with the plain
// codec written from the format alone (tests/cpp/plain_codec.hpp): both must
// give the same trie or the same error. Whatever decodes must encode to the
// bytes the plain encoder writes and the size pass counts, decode again to
// the same trie, and answer every query with a result or an internal fault,
// the same as the reference walk.
#include "fuzz_support.hpp"
#include "plain_codec.hpp"
#include "prefix/trie/trie_codec.hpp"
#include "snapshot/decode_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvatel;
  fuzz::Input in(data, size);
  const fuzz::Query query = fuzz::read_query(in);
  const auto bytes_in = in.rest();
  auto trie = snapshot::decode(bytes_in);
  const auto plain = testing::plain::decode(bytes_in);
  if (trie.has_value() != plain.has_value())
    fuzz::fail(trie ? "the codec decodes what the plain decoder refuses"
                    : "the codec refuses what the plain decoder decodes");
  if (!trie) {
    if (!(trie.error() == plain.error()))
      fuzz::fail("the codec and the plain decoder report different errors");
    if (snapshot::to_string(trie.error()).empty())
      fuzz::fail("a decode error printed as nothing");
    return 0;
  }
  if (!(*trie == *plain))
    fuzz::fail("the codec and the plain decoder decode different tries");
  // The plain decoder keeps every field as stored, while the codec may hold a
  // tree in walk form (labels on the edges): the plain encoder writes the
  // plain decoder's trie, which the codec's must encode to byte for byte.
  const std::vector<std::uint8_t> bytes = snapshot::encode(*trie);
  if (bytes != testing::plain::encode(*plain))
    fuzz::fail("the codec and the plain encoder write different bytes");
  if (bytes.size() != snapshot::encoded_size(*trie))
    fuzz::fail("encoded size differs from the size pass");
  auto again = snapshot::decode(bytes);
  if (!again || !(*again == *trie) || snapshot::encode(*again) != bytes)
    fuzz::fail("snapshot does not round-trip");
  fuzz::check_queries(*trie, query);
  return 0;
}

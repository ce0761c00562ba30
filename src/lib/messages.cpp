#include "lib/messages.hpp"

#include <format>
#include <limits>

namespace quorvatel::py::messages {

std::string too_many_positional(std::string_view function, std::size_t positional, std::size_t required,
                                std::size_t given) {
  const std::string_view verb = given == 1 ? "was" : "were";
  if (required == positional)
    return std::format("{} takes {} positional arguments but {} {} given", function, positional, given, verb);
  return std::format("{} takes from {} to {} positional arguments but {} {} given", function, required, positional,
                     given, verb);
}

std::string unexpected_keyword(std::string_view function, std::string_view keyword) {
  return std::format("{} got an unexpected keyword argument '{}'", function, keyword);
}

std::string multiple_values(std::string_view function, std::string_view parameter) {
  return std::format("{} got multiple values for argument '{}'", function, parameter);
}

std::string missing_required(std::string_view function, std::span<const std::string_view> names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0)
      list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += std::format("'{}'", names[i]);
  }
  return std::format("{} missing {} required positional {}: {}", function, names.size(),
                     names.size() == 1 ? "argument" : "arguments", list);
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
  return std::format("'{}' object cannot be converted to '{}'", type_name, target);
}

std::string argument_error(std::string_view parameter, std::string_view message) {
  return std::format("argument '{}': {}", parameter, message);
}

std::string no_bool_conversion(std::string_view type_repr) {
  return std::format("object of type '{}' does not define a '__bool__' conversion", type_repr);
}

std::string no_constructor(std::string_view type_name) {
  return std::format("No constructor defined for {}", type_name);
}

std::string decode_error(std::string_view printed) { return std::format("decode error: {}", printed); }

std::string sub_interpreter(std::string_view module) {
  return std::format("{} does not support sub-interpreters: it is already initialised in another interpreter",
                     module);
}

namespace {
constexpr std::string_view kRowShape = "a record is a (term, video_id, count) sequence";
constexpr std::string_view kIdTypes = "a uuid.UUID, 16 bytes, an int or None";
}  // namespace

std::string row_problem(std::size_t row, std::string_view problem) { return std::format("row {}: {}", row, problem); }

std::string record_not_a_sequence(std::string_view type_name) {
  return std::format("{}, not {}", kRowShape, type_name);
}

std::string record_size(std::ptrdiff_t items) { return std::format("{}, not {} items", kRowShape, items); }

std::string term_not_str(std::string_view type_name) { return std::format("term must be a str, not {}", type_name); }

std::string term_has_nul(std::ptrdiff_t at) {
  return std::format("term has U+0000 at {}, a character searches never enter", at);
}

std::string term_has_surrogate(std::uint32_t code_point, std::ptrdiff_t at) {
  return std::format("term has the lone surrogate U+{:04X} at {}, which is no character", code_point, at);
}

std::string video_id_type(std::string_view type_name) {
  return std::format("video id must be {}, not {}", kIdTypes, type_name);
}

std::string video_bytes_length(std::ptrdiff_t length) {
  return std::format("a bytes video id must be 16 bytes long, not {}", length);
}

std::string video_kinds_mixed(bool integer) {
  return integer ? "an integer video id, but the rows before have 16-byte ones; an index holds one kind"
                 : "a 16-byte video id, but the rows before have integer ones; an index holds one kind";
}

std::string count_type(std::string_view type_name) { return std::format("count must be an int, not {}", type_name); }

std::string outside_u32(std::string_view what, std::string_view value) {
  return std::format("{} {} is outside 0..{}", what, value, std::numeric_limits<std::uint32_t>::max());
}

std::string bytes_after_snapshot(std::ptrdiff_t count) {
  return std::format("{} bytes follow the end of the snapshot", count);
}

std::string byte_differs(std::ptrdiff_t at) {
  return std::format("byte {} differs from the snapshot's own encoding, which this library always writes", at);
}

std::string not_an_index(std::string_view parameter, std::string_view type_name) {
  return std::format("{} must be a PrefixSearch or a MappedIndex, not {}", parameter, type_name);
}

std::string index_class_mismatch(std::string_view detail) {
  return std::format(
      "_quorvatel.PrefixSearch is not the class this _quorvatel_records reads ({}); install both modules from one "
      "build",
      detail);
}

std::string not_a_class(std::string_view type_name) {
  return std::format("it is no class but an object of type {}", type_name);
}

std::string instance_layout(std::string_view name, std::size_t size, std::size_t expected) {
  return std::format("{} instances of {} bytes, not {}", name, size, expected);
}

std::string index_refused(std::string_view problem) {
  return std::format("the index cannot be searched by complete() or suggest(): {}", problem);
}

std::string not_a_str(std::string_view parameter, std::string_view type_name) {
  return std::format("{} must be a str, not {}", parameter, type_name);
}

std::string text_too_long(std::string_view parameter, std::size_t length, std::size_t most) {
  return std::format("{} has {} code points; a search takes at most {}", parameter, length, most);
}

std::string not_an_int(std::string_view parameter, bool or_none, std::string_view type_name) {
  return std::format("{} must be an int{}, not {}", parameter, or_none ? " or None" : "", type_name);
}

std::string negative(std::string_view parameter, std::string_view value) {
  return std::format("{} must be 0 or more, not {}", parameter, value);
}

std::string not_a_distance(std::string_view parameter, std::string_view what) {
  return std::format("{} must be an int or 'auto', not {}", parameter, what);
}

std::string not_a_bool(std::string_view parameter, std::string_view type_name) {
  return std::format("{} must be True or False, not {}", parameter, type_name);
}

// ---- mapped index files

std::string mapped_problem(mapped::Problem problem, std::string_view detail) {
  using mapped::Problem;
  switch (problem) {
    case Problem::TooShort:
      return std::format("not a mapped index: {} bytes, shorter than the header", detail);
    case Problem::Magic:
      return "not a mapped index: no magic number at its start (save(index, path, format=\"mapped\") writes one)";
    case Problem::Version:
      return std::format("mapped index of format version {}; this quorvatel reads version {}", detail,
                         mapped::kFormatVersion);
    case Problem::ByteOrder:
      return std::format("mapped index written on a machine of the other byte order (mark {})", detail);
    case Problem::FileSize:
      return std::format("mapped index cut short or extended: its header says {}", detail);
    case Problem::Header:
      return std::format("mapped index with a header that no writer writes: {}", detail);
    case Problem::Section:
      return std::format("mapped index with a section that does not fit: {}", detail);
    case Problem::Payloads:
      return std::format("mapped index with an inconsistent payload table: {}", detail);
    case Problem::Structure:
      return std::format("mapped index whose arrays contradict its header: {}", detail);
    case Problem::Checksum:
      return std::format("mapped index whose contents fail the checksum: the header says {}", detail);
  }
  return std::format("mapped index refused: {}", detail);
}

std::string not_an_iterable_of_str(std::string_view parameter, std::string_view type_name) {
  return std::format("{} must be an iterable of str, not {}", parameter, type_name);
}

std::string workers_out_of_range(std::string_view parameter, std::size_t most, std::string_view value) {
  return std::format("{} must be from 1 to {}, not {}", parameter, most, value);
}

std::string batch_item(std::string_view parameter, std::size_t position) {
  return std::format("{}[{}]", parameter, position);
}

}  // namespace quorvatel::py::messages

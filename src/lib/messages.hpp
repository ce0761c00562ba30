// Every message the boundary produces, in one place: those of _quorvatel
// and those of _quorvatel_records. Messages of the core (build checks,
// decode errors, the load check) live with the code that detects them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "prefix/mapped/mapped_format.hpp"

namespace quorvatel::py::messages {

inline constexpr std::string_view kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";
inline constexpr std::string_view kPayloadTupleSize = "Payload tuple must have 3 elements";
inline constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";
inline constexpr std::string_view kUnknownName = "<unknown>";
inline constexpr std::string_view kApiCallFailed = "Python API call failed";
inline constexpr std::string_view kTypeCreationFailed = "failed to create type object for PrefixSearch";
inline constexpr std::string_view kAllAppendFailed = "could not append __name__ to __all__";
inline constexpr std::string_view kGenericFault = "the native code of _quorvatel met an internal fault";
inline constexpr const char* kPanicDoc =
    "Raised when native code called from Python meets an internal fault.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it typically\n"
    "propagates all the way through the stack and ends the interpreter.";

/// "{F} takes {P} positional arguments but {N} {was|were} given", or the
/// "takes from {Q} to {P}" form when some parameters are optional.
[[nodiscard]] std::string too_many_positional(std::string_view function, std::size_t positional,
                                              std::size_t required, std::size_t given);
[[nodiscard]] std::string unexpected_keyword(std::string_view function, std::string_view keyword);
[[nodiscard]] std::string multiple_values(std::string_view function, std::string_view parameter);
/// "{F} missing {k} required positional argument(s): 'a', 'b', and 'c'".
[[nodiscard]] std::string missing_required(std::string_view function, std::span<const std::string_view> names);
/// "'{type}' object cannot be converted to '{target}'".
[[nodiscard]] std::string cannot_convert(std::string_view type_name, std::string_view target);
[[nodiscard]] std::string argument_error(std::string_view parameter, std::string_view message);
[[nodiscard]] std::string no_bool_conversion(std::string_view type_repr);
[[nodiscard]] std::string no_constructor(std::string_view type_name);
[[nodiscard]] std::string decode_error(std::string_view printed);
/// ImportError of a module initialised in a second interpreter.
[[nodiscard]] std::string sub_interpreter(std::string_view module);

// ---- _quorvatel_records: records and the snapshot check

inline constexpr std::string_view kEmptyTerm = "empty term: the root of the trie cannot be a term";
inline constexpr std::string_view kUuidIntWidth = "a uuid.UUID video id whose int is not 128 bits";
inline constexpr std::string_view kUuidNotAClass = "uuid.UUID is not a class";

/// "row {row}: {problem}", the message of every wrong record.
[[nodiscard]] std::string row_problem(std::size_t row, std::string_view problem);
[[nodiscard]] std::string record_not_a_sequence(std::string_view type_name);
[[nodiscard]] std::string record_size(std::ptrdiff_t items);
[[nodiscard]] std::string term_not_str(std::string_view type_name);
[[nodiscard]] std::string term_has_nul(std::ptrdiff_t at);
[[nodiscard]] std::string term_has_surrogate(std::uint32_t code_point, std::ptrdiff_t at);
[[nodiscard]] std::string video_id_type(std::string_view type_name);
[[nodiscard]] std::string video_bytes_length(std::ptrdiff_t length);
/// A row whose id is of the other kind than the rows before: `integer` tells
/// the kind of the row's own id.
[[nodiscard]] std::string video_kinds_mixed(bool integer);
[[nodiscard]] std::string count_type(std::string_view type_name);
/// "{what} {value} is outside 0..{max}".
[[nodiscard]] std::string outside_u32(std::string_view what, std::string_view value);
/// Why a decodable snapshot is not the one its contents encode to.
[[nodiscard]] std::string bytes_after_snapshot(std::ptrdiff_t count);
[[nodiscard]] std::string byte_differs(std::ptrdiff_t at);

// The package's search functions (complete, suggest).

inline constexpr std::string_view kCompletionTypeShape =
    "collections.namedtuple made a Completion class that is no plain tuple subclass";

/// "{parameter} must be a PrefixSearch, not {type}".
[[nodiscard]] std::string not_an_index(std::string_view parameter, std::string_view type_name);
/// "_quorvatel.PrefixSearch is not the class this _quorvatel_records reads ({detail}); ...".
[[nodiscard]] std::string index_class_mismatch(std::string_view detail);
[[nodiscard]] std::string not_a_class(std::string_view type_name);
[[nodiscard]] std::string instance_layout(std::string_view name, std::size_t size, std::size_t expected);
/// "the index cannot be searched by complete() or suggest(): {problem}".
[[nodiscard]] std::string index_refused(std::string_view problem);
/// "{parameter} must be a str, not {type}".
[[nodiscard]] std::string not_a_str(std::string_view parameter, std::string_view type_name);
/// "{parameter} has {length} code points; a search takes at most {most}".
[[nodiscard]] std::string text_too_long(std::string_view parameter, std::size_t length, std::size_t most);
/// "{parameter} must be an int[ or None], not {type}".
[[nodiscard]] std::string not_an_int(std::string_view parameter, bool or_none, std::string_view type_name);
/// "{parameter} must be 0 or more, not {value}".
[[nodiscard]] std::string negative(std::string_view parameter, std::string_view value);
/// "{parameter} must be an int or 'auto', not {what}": a type name or a str's repr.
[[nodiscard]] std::string not_a_distance(std::string_view parameter, std::string_view what);
/// "{parameter} must be True or False, not {type}".
[[nodiscard]] std::string not_a_bool(std::string_view parameter, std::string_view type_name);

// Mapped index files (MappedIndex, quorvatel.open and save).

inline constexpr std::string_view kMappedNoConstructor =
    "cannot create 'MappedIndex' instances; quorvatel.open(path) maps a file saved with format=\"mapped\"";
inline constexpr std::string_view kMappedNoPickle =
    "a MappedIndex cannot be pickled or copied; pass the path of its file and open it again in the other process";

inline constexpr std::string_view kEmbeddedNull = "embedded null byte";

/// Why a file is no mapped index that this build reads.
[[nodiscard]] std::string mapped_problem(mapped::Problem problem, std::string_view detail);

// The package's batch functions (fuzzy_match_many, fuzzy_match_video_many, complete_many).

/// "{parameter} must be an iterable of str, not {type}".
[[nodiscard]] std::string not_an_iterable_of_str(std::string_view parameter, std::string_view type_name);
/// "{parameter} must be from 1 to {most}, not {value}".
[[nodiscard]] std::string workers_out_of_range(std::string_view parameter, std::size_t most, std::string_view value);
/// "{parameter}[{position}]": an item of a batch argument, as errors name it.
[[nodiscard]] std::string batch_item(std::string_view parameter, std::size_t position);

}  // namespace quorvatel::py::messages

#include "lib/messages.hpp"

#include <format>

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

std::string not_an_index(std::string_view parameter, std::string_view type_name) {
  return std::format("{} must be a PrefixSearch, not {}", parameter, type_name);
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

}  // namespace quorvatel::py::messages

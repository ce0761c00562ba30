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

}  // namespace quorvatel::py::messages

#include "lib/binding.hpp"

#include <string>
#include <vector>

#include "lib/messages.hpp"

namespace quorvatel::py {
namespace {

// The keyword's text for a message; names that have no UTF-8 form are shown
// with backslash escapes.
std::string keyword_text(PyObject* keyword) {
  Ref bytes = Ref::steal(PyUnicode_AsEncodedString(keyword, "utf-8", "backslashreplace"));
  if (!bytes) {
    PyErr_Clear();
    return "?";
  }
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

}  // namespace

PyResult<void> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  const std::size_t positional = sig.parameters.size();
  for (std::size_t i = 0; i < given && i < positional; ++i)
    slots[i] = args[i];
  if (given > positional)
    return py_fail(PyExc_TypeError, messages::too_many_positional(sig.full_name, positional, sig.required, given));

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr)
      PyErr_Clear();  // a name without UTF-8 text matches no parameter
    std::size_t match = positional;
    if (utf8 != nullptr) {
      const std::string_view text(utf8, static_cast<std::size_t>(size));
      for (std::size_t p = 0; p < positional; ++p) {
        if (sig.parameters[p] == text) {
          match = p;
          break;
        }
      }
    }
    if (match == positional)
      return py_fail(PyExc_TypeError, messages::unexpected_keyword(sig.full_name, keyword_text(name)));
    if (slots[match] != nullptr)
      return py_fail(PyExc_TypeError, messages::multiple_values(sig.full_name, sig.parameters[match]));
    slots[match] = args[given + static_cast<std::size_t>(k)];
  }

  if (given < sig.required) {
    std::vector<std::string_view> missing;
    for (std::size_t p = 0; p < sig.required; ++p)
      if (slots[p] == nullptr)
        missing.push_back(sig.parameters[p]);
    if (!missing.empty())
      return py_fail(PyExc_TypeError, messages::missing_required(sig.full_name, missing));
  }
  return {};
}

}  // namespace quorvatel::py

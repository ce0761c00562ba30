#include "lib/results.hpp"

#include "lib/errors.hpp"

namespace quorvatel::py {
namespace {

PyObject* new_text(std::string_view text) {
  return api_created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

Ref term_rows(const TrieView& trie, std::span<const MatchResult> matches) {
  Ref list = Ref::steal(api_created(PyList_New(static_cast<Py_ssize_t>(matches.size()))));
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const MatchResult& m = matches[i];
    Ref row = Ref::steal(api_created(PyTuple_New(3)));
    PyTuple_SET_ITEM(row.get(), 0, new_text(m.text));
    PyTuple_SET_ITEM(row.get(), 1, api_created(PyLong_FromLong(trie.terminal(m.node) ? 1 : 0)));
    PyTuple_SET_ITEM(row.get(), 2, api_created(PyLong_FromUnsignedLong(m.distance)));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return list;
}

Ref video_rows(std::span<const VideoScore> videos) {
  Ref list = Ref::steal(api_created(PyList_New(static_cast<Py_ssize_t>(videos.size()))));
  for (std::size_t i = 0; i < videos.size(); ++i) {
    Ref row = Ref::steal(api_created(PyTuple_New(2)));
    PyTuple_SET_ITEM(row.get(), 0, new_text(videos[i].id));
    PyTuple_SET_ITEM(row.get(), 1, api_created(PyFloat_FromDouble(videos[i].score)));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row.release());
  }
  return list;
}

}  // namespace quorvatel::py

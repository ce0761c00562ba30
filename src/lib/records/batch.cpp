#include "lib/records/batch.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/batch.hpp"
#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/index_access.hpp"
#include "lib/messages.hpp"
#include "lib/queries.hpp"
#include "lib/records/search.hpp"
#include "lib/records/unlocked.hpp"
#include "lib/results.hpp"
#include "prefix/matcher/matcher.hpp"
#include "prefix/ranking/ranking.hpp"

namespace quorvatel::py {
namespace {

constexpr std::array<std::string_view, 5> kMatchParams{"index", "terms", "max_dist", "limit", "workers"};
constexpr std::array<std::string_view, 7> kVideoParams{
    "index", "terms", "max_dist", "limit", "include_prefix_nodes", "min_score", "workers"};
constexpr std::array<std::string_view, 7> kCompleteParams{
    "index", "texts", "limit", "max_dist", "prefix_length", "transpositions", "workers"};
constexpr Signature kMatchSignature{"fuzzy_match_many()", kMatchParams, 2};
constexpr Signature kVideoSignature{"fuzzy_match_video_many()", kVideoParams, 2};
constexpr Signature kCompleteSignature{"complete_many()", kCompleteParams, 2};
/// Parameters after these are keyword-only.
constexpr std::size_t kPositional = 2;

// ------------------------------------------------------------------ conversions

/// Binds like bind(), refusing more than the two positional arguments.
PyResult<void> bind_batch(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf)));
  if (given > kPositional)
    return py_fail(PyExc_TypeError,
                   messages::too_many_positional(signature.full_name, kPositional, kPositional, given));
  return bind(signature, args, nargsf, kwnames, slots);
}

/// The items of a batch argument, read in full before any work starts: any
/// iterable but a str or bytes-like object (whose items would be single
/// characters or ints). `convert(item, position)` turns each into a value.
template <class T, class Convert>
PyResult<std::vector<T>> batch_items(PyObject* object, std::string_view name, Convert&& convert) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object))
    return py_fail(PyExc_TypeError, messages::not_an_iterable_of_str(name, type_qualname(object)));
  std::vector<T> out;
  auto add = [&](PyObject* item) -> PyResult<void> {
    QV_TRY_ASSIGN(T value, convert(item, out.size()));
    out.push_back(std::move(value));
    return {};
  };
  if (PyTuple_CheckExact(object)) {
    // The tuple is immutable and held by the caller for the call.
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      QV_TRY(add(PyTuple_GET_ITEM(object, i)));
    return out;
  }
  if (PyList_CheckExact(object)) {
    // Converting a str runs no host code of its own, but an allocation may
    // run the collector and a finalizer may change the list: its live size
    // is read at each step, and each item is held while it is converted.
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      const Ref item = Ref::new_ref(PyList_GET_ITEM(object, i));
      QV_TRY(add(item.get()));
    }
    return out;
  }
  const Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
      return py_fetch();
    PyErr_Clear();
    return py_fail(PyExc_TypeError, messages::not_an_iterable_of_str(name, type_qualname(object)));
  }
  while (true) {
    const Ref item = Ref::steal(PyIter_Next(iterator.get()));
    if (!item)
      break;
    QV_TRY(add(item.get()));
  }
  if (PyErr_Occurred())
    return py_fetch();
  return out;
}

/// A term of fuzzy_match_many: converted as fuzzy_match converts its term,
/// a TypeError naming the item.
PyResult<std::u32string> match_term(PyObject* item, std::string_view name, std::size_t position) {
  PyResult<std::u32string> term = to_code_points(item);
  if (!term)
    return std::unexpected(wrap_argument_error(messages::batch_item(name, position), std::move(term).error()));
  return term;
}

/// workers: None for one per core, else an int from 1 to kMaxWorkers.
PyResult<std::size_t> to_workers(PyObject* slot, std::string_view name) {
  if (slot == nullptr || slot == Py_None)
    return batch::default_workers();
  if (PyBool_Check(slot) || !PyIndex_Check(slot))
    return py_fail(PyExc_TypeError, messages::not_an_int(name, true, type_qualname(slot)));
  const Ref value = Ref::steal(PyNumber_Index(slot));
  if (!value)
    return py_fetch();  // raised by the object's own __index__
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (n == -1 && PyErr_Occurred())
    return py_fetch();
  if (overflow != 0 || n < 1 || static_cast<unsigned long long>(n) > batch::kMaxWorkers)
    return py_fail(PyExc_ValueError,
                   messages::workers_out_of_range(name, batch::kMaxWorkers, str_or(value.get(), "?")));
  return static_cast<std::size_t>(n);
}

// ------------------------------------------------------------------ running

/// The exception of an item that failed, made with the lock held: a fault is
/// reported and raised as PanicException (as one-by-one calls raise it), the
/// exception's `item` naming the position.
PyError item_error(const batch::ItemFailure& failure) {
  switch (failure.kind) {
    case batch::FailureKind::Memory:
      PyErr_NoMemory();
      break;
    case batch::FailureKind::Fault:
    case batch::FailureKind::Cancelled:  // only after a stop, which raises before this
      raise_internal_fault(failure.message, failure.where);
      break;
  }
  PyError error = PyError::fetch();
  const Ref item = Ref::steal(PyLong_FromSize_t(failure.item));
  if (!item || PyObject_SetAttrString(error.exception(), "item", item.get()) < 0)
    PyErr_Clear();  // the exception itself says enough
  return error;
}

/// Runs `work` on items [0, count). The items run on the calling thread
/// under a LockBudget first; once it has let go of the lock, the rest go to
/// `workers` threads (when there is more than one item left and more than one
/// worker) while this thread waits in slices, taking the lock back between
/// them to run the signal handlers. A handler's exception stops the batch and
/// is raised; else the failure of the lowest failed item is, if any.
PyResult<void> run_batch(std::size_t count, std::size_t workers, const batch::Work& work) {
  std::optional<batch::ItemFailure> failure;
  bool interrupted = false;
  {
    LockBudget lock;
    std::size_t next = 0;
    const auto run_here = [&](bool may_hand_over) {
      for (; next < count && !failure && !interrupted; ++next) {
        if (may_hand_over && lock.released() && workers > 1 && count - next > 1)
          return;
        failure = batch::run_item(work, next, lock);
        if (failure && failure->kind == batch::FailureKind::Cancelled)
          interrupted = true;  // the lock's signal check raised
        else if (!failure && lock.should_stop())
          interrupted = true;
      }
    };
    run_here(true);
    if (next < count && !failure && !interrupted) {
      batch::Pool pool(next, count, workers, work);
      if (pool.started() == 0) {
        pool.join();
        run_here(false);  // no thread could start: the rest runs here
      } else {
        while (!pool.wait_for(LockBudget::kSignalSlice)) {
          if (lock.signals_raised()) {
            interrupted = true;
            pool.stop();
            break;
          }
        }
        pool.join();
        failure = pool.failure();
      }
    }
  }
  if (interrupted) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "batch cancelled without an exception set");
    return py_fetch();
  }
  if (failure)
    return std::unexpected(item_error(*failure));
  return {};
}

/// A list of one entry per item, each made by `row`.
template <class T, class Row>
Ref list_of(const std::vector<T>& items, Row&& row) {
  Ref list = Ref::steal(api_created(PyList_New(static_cast<Py_ssize_t>(items.size()))));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row(items[i]).release());
  return list;
}

// ------------------------------------------------------------------ operations

PyResult<Ref> fuzzy_match_many_impl(const IndexHold& index, const std::vector<std::u32string>& terms,
                                    const WalkOptions& options, std::size_t workers) {
  std::vector<std::vector<MatchResult>> found(terms.size());
  QV_TRY(run_batch(terms.size(), workers, [&](std::size_t i, CancelHook& cancel) {
    WalkOptions mine = options;
    mine.cancel = &cancel;
    found[i] = fuzzy_match(index.trie, terms[i], mine);
  }));
  return list_of(found, [&](const std::vector<MatchResult>& m) { return term_rows(index.trie, m); });
}

PyResult<Ref> fuzzy_match_video_many_impl(const IndexHold& index, const std::vector<std::u32string>& terms,
                                          const VideoQuery& query, std::size_t workers) {
  std::vector<std::vector<VideoScore>> found(terms.size());
  QV_TRY(run_batch(terms.size(), workers, [&](std::size_t i, CancelHook& cancel) {
    VideoQuery mine = query;
    mine.cancel = &cancel;
    found[i] = fuzzy_match_video(index.trie, terms[i], mine);
  }));
  return list_of(found, [](const std::vector<VideoScore>& v) { return video_rows(v); });
}

PyResult<Ref> complete_many_impl(const IndexHold& index, const std::vector<std::u32string>& texts,
                                 const complete::Request& request, std::size_t workers) {
  QV_TRY(check_searchable(index));
  std::vector<Result<std::vector<complete::Completion>>> found(texts.size());
  QV_TRY(run_batch(texts.size(), workers, [&](std::size_t i, CancelHook& cancel) {
    complete::Request mine = request;
    mine.text = texts[i];
    mine.cancel = &cancel;
    found[i] = complete::search(index.trie, index.bounds, mine);
  }));
  std::vector<std::vector<complete::Completion>> rows(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    QV_TRY_ASSIGN(rows[i], lift(std::move(found[i])));
  }
  return list_of(rows, [](const std::vector<complete::Completion>& c) { return completion_rows(c); });
}

// ------------------------------------------------------------------ wrappers

PyResult<Ref> fuzzy_match_many_wrapper(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kMatchParams.size()> slots{};
  QV_TRY(bind_batch(kMatchSignature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const IndexHold index, index_of(slots[0], "index"));
  QV_TRY_ASSIGN(const std::vector<std::u32string> terms,
                batch_items<std::u32string>(slots[1], "terms", [](PyObject* item, std::size_t at) {
                  return match_term(item, "terms", at);
                }));
  QV_TRY_ASSIGN(const WalkOptions options, match_options(slots[2], slots[3]));
  QV_TRY_ASSIGN(const std::size_t workers, to_workers(slots[4], "workers"));
  return fuzzy_match_many_impl(index, terms, options, workers);
}

PyResult<Ref> fuzzy_match_video_many_wrapper(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kVideoParams.size()> slots{};
  QV_TRY(bind_batch(kVideoSignature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const IndexHold index, index_of(slots[0], "index"));
  QV_TRY_ASSIGN(const std::vector<std::u32string> terms,
                batch_items<std::u32string>(slots[1], "terms", [](PyObject* item, std::size_t at) {
                  return match_term(item, "terms", at);
                }));
  QV_TRY_ASSIGN(const VideoQuery query, video_options(slots[2], slots[3], slots[4], slots[5]));
  QV_TRY_ASSIGN(const std::size_t workers, to_workers(slots[6], "workers"));
  return fuzzy_match_video_many_impl(index, terms, query, workers);
}

PyResult<Ref> complete_many_wrapper(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::array<PyObject*, kCompleteParams.size()> slots{};
  QV_TRY(bind_batch(kCompleteSignature, args, nargsf, kwnames, slots));
  QV_TRY_ASSIGN(const IndexHold index, index_of(slots[0], "index"));
  QV_TRY_ASSIGN(const std::vector<std::u32string> texts,
                batch_items<std::u32string>(slots[1], "texts", [](PyObject* item, std::size_t at) {
                  return search_text(item, messages::batch_item("texts", at));
                }));
  complete::Request request;
  request.mode = complete::Mode::Complete;
  QV_TRY(search_options(slots[2], slots[3], slots[4], slots[5], request));
  QV_TRY_ASSIGN(const std::size_t workers, to_workers(slots[6], "workers"));
  return complete_many_impl(index, texts, request, workers);
}

}  // namespace

PyObject* fuzzy_match_many_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_many_wrapper(args, nargsf, kwnames); });
}

PyObject* fuzzy_match_video_many_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return fuzzy_match_video_many_wrapper(args, nargsf, kwnames); });
}

PyObject* complete_many_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&] { return complete_many_wrapper(args, nargsf, kwnames); });
}

}  // namespace quorvatel::py

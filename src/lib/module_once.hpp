// Initialisation of a single-phase extension module that lives in one
// interpreter per process: its process-wide state (the type objects, the
// caches of host classes) would be shared by every interpreter otherwise.
// The first interpreter to initialise the module claims it with one atomic
// compare-and-swap; initialising again in that interpreter gives back the
// same module object, and any other interpreter gets ImportError.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "lib/errors.hpp"

namespace quorvatel::py {

/// The process-wide state of one module, kept until the process ends.
struct ModuleOnce {
  std::atomic<std::int64_t> interpreter{-1};  ///< the initialising interpreter's id; -1 until then
  PyObject* module = nullptr;                 ///< the module of the first successful initialisation
};

/// Runs the initialisation of `definition` once: claims the current
/// interpreter (ImportError naming `name` for any other), returns the module
/// made before if there is one, else creates it and runs `body` on it. A
/// failing body leaves nothing behind, so a later import tries again.
[[nodiscard]] PyResult<Ref> init_once(ModuleOnce& once, PyModuleDef& definition, std::string_view name,
                                      PyResult<void> (*body)(PyObject* module));

}  // namespace quorvatel::py

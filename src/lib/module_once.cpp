#include "lib/module_once.hpp"

#include "lib/messages.hpp"

namespace quorvatel::py {

PyResult<Ref> init_once(ModuleOnce& once, PyModuleDef& definition, std::string_view name,
                        PyResult<void> (*body)(PyObject* module)) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1)
    return py_fetch();
  std::int64_t expected = -1;
  if (!once.interpreter.compare_exchange_strong(expected, id) && expected != id)
    return py_fail(PyExc_ImportError, messages::sub_interpreter(name));
  if (once.module != nullptr)
    return Ref::new_ref(once.module);
  Ref module = Ref::steal(PyModule_Create2(&definition, 1013));
  if (!module)
    return py_fetch();
  if (body != nullptr)
    QV_TRY(body(module.get()));
  once.module = Ref::new_ref(module.get()).release();  // kept for the process
  return module;
}

}  // namespace quorvatel::py

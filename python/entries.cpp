#include "entries.hpp"

namespace zelki::python {

void add_exports(pybind11::module_& m, AddExport add_export) {
  (void)m;
  (void)add_export;
}

}  // namespace zelki::python

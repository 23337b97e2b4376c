#include "python/validate.hpp"

#include <deque>
#include <memory>

#ifndef NDEBUG
#include "engine/record.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/filtered_index.hpp"
#include "python/index.hpp"
#include "python/indexable.hpp"
#include "python/types.hpp"
#include "python/values.hpp"
#endif

namespace corvane {

#ifndef NDEBUG
namespace {

// `_validate(index_or_view, acyclic=False)`: None, or the internal-failure
// exception naming the first broken invariant.  `acyclic`: the caller made
// no reference cycle through nested objects, so every object a holder
// refers to must be in the nested index.
PyObject* validate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&]() -> PyObject* {
        static const char* const params[] = {"index_or_view", "acyclic"};
        PyObject* out[2];
        py::match(py::Signature{"_validate", params, 2, 1}, args, nargs, kwnames, out);
        RecordCheck check;
        if (out[1] != nullptr) {
            int acyclic = PyObject_IsTrue(out[1]);
            if (acyclic < 0) throw py::PyErrorSet{};
            check.acyclic = acyclic != 0;
        }
        // The interpreter lock is held throughout, so the attributes can be
        // read; an object with an assignment under way is passed over.
        auto read = std::make_shared<std::deque<AttrList>>();
        check.read = [read](PyObject* obj) -> const AttrList* {
            IndexableState& st = indexable_state(obj);
            if (st.use.exclusive()) return nullptr;
            st.attributes.validate(indexable_type());
            return &read->emplace_back(read_attributes(st.attributes));
        };
        PyObject* target = out[0];
        if (PyObject_TypeCheck(target, index_type())) {
            auto* idx = reinterpret_cast<IndexObject*>(target);
            py::SharedUse use(idx->use);
            validate_record(*idx->api, check);
        } else if (PyObject_TypeCheck(target, filtered_index_type())) {
            auto* view = reinterpret_cast<FilteredIndexObject*>(target);
            py::SharedUse use(view->use);
            // The maps of a view outlive its index, and no longer follow
            // assignments once the index is gone: only their structure is
            // checked.
            check.read = nullptr;
            validate_shared(*view->attr_maps, *view->items, check);
        } else {
            py::argument_conversion_error(target, "Index or FilteredIndex", "index_or_view");
        }
        validate_count_pool();
        Py_RETURN_NONE;
    });
}

PyMethodDef validate_def = {"_validate", CORVANE_FASTCALL(validate), METH_FASTCALL | METH_KEYWORDS,
                            "_validate(index_or_view, acyclic=False)\n--\n\n"};

}  // namespace
#endif

void add_validate([[maybe_unused]] PyObject* module) {
#ifndef NDEBUG
    PyObject* fn = PyCFunction_NewEx(&validate_def, module, nullptr);
    if (fn == nullptr || PyModule_AddObject(module, "_validate", fn) < 0) {
        Py_XDECREF(fn);
        throw py::PyErrorSet{};
    }
#endif
}

}  // namespace corvane

#include "python/errors.hpp"

#include <cstdio>
#include <cstring>

namespace corvane::py {

namespace {
PyObject* panic_type = nullptr;

// The name of the current Python thread, for the failure report.  Falls back
// to "<unnamed>" when the threading module cannot say.
std::string current_thread_name() {
    std::string name = "<unnamed>";
    // Keep the exception being raised (if any) aside while asking.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef saved_type(steal, type), saved_value(steal, value), saved_tb(steal, tb);
    PyRef threading(steal, PyImport_ImportModule("threading"));
    PyRef thread(steal, threading ? PyObject_CallMethod(threading.get(), "current_thread", nullptr)
                                  : nullptr);
    PyRef n(steal, thread ? PyObject_GetAttrString(thread.get(), "name") : nullptr);
    if (n && PyUnicode_Check(n.get())) {
        const char* s = PyUnicode_AsUTF8(n.get());
        if (s != nullptr) name = s;
    }
    PyErr_Clear();
    PyErr_Restore(saved_type.release(), saved_value.release(), saved_tb.release());
    return name;
}

// The report names the function as well as the place: several places share
// one message ("Missing child", "invalid offset").
void report(const InternalFailure& failure) {
    const auto& where = failure.where();
    std::string name = current_thread_name();
    std::fprintf(stderr, "thread '%s' panicked at %s:%u:%u in %s:\n%s\n", name.c_str(),
                 where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), where.function_name(),
                 failure.message().c_str());
    std::fflush(stderr);
}
}  // namespace

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(
            "Corvane.PanicException",
            "Raised when an internal invariant of Corvane is broken. It derives from "
            "BaseException so that ordinary `except Exception` handlers do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(const InternalFailure& failure) noexcept {
    try {
        report(failure);
    } catch (...) {
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creation failed; its error is set
    PyRef msg(steal,
              PyUnicode_FromStringAndSize(failure.message().data(),
                                          static_cast<Py_ssize_t>(failure.message().size())));
    if (msg) PyErr_SetObject(type, msg.get());
}

void raise(PyObject* exc_type, std::string_view message) {
    PyRef msg(steal,
              PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (msg) PyErr_SetObject(exc_type, msg.get());
    throw PyErrorSet{};
}

std::string type_name(PyObject* obj) {
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? std::string(dot + 1) : std::string(full);
}

void conversion_error(PyObject* obj, std::string_view target) {
    std::string msg = "'";
    msg += type_name(obj);
    msg += "' object cannot be converted to '";
    msg.append(target);
    msg += "'";
    type_error(msg);
}

void argument_conversion_error(PyObject* obj, std::string_view target, const char* arg) {
    try {
        conversion_error(obj, target);
    } catch (const PyErrorSet&) {
        rethrow_for_argument(arg);
    }
}

void rethrow_for_argument(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef old_type(steal, type), old_value(steal, value), old_tb(steal, tb);
    PyRef text(steal, old_value ? PyObject_Str(old_value.get()) : nullptr);
    if (!text) throw PyErrorSet{};
    PyRef message(new_ref, PyUnicode_FromFormat("argument '%s': %U", arg, text.get()));
    PyRef replacement(new_ref,
                      PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    PyObject* cause = old_value ? PyException_GetCause(old_value.get()) : nullptr;
    if (cause != nullptr) PyException_SetCause(replacement.get(), cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PyErrorSet{};
}

}  // namespace corvane::py

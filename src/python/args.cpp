#include "python/args.hpp"

#include <cstring>
#include <vector>

namespace corvane::py {

namespace {

[[noreturn]] void too_many(const char* name, size_t allowed, Py_ssize_t given) {
    std::string msg = std::string(name) + "() takes " + std::to_string(allowed) +
                      " positional arguments but " + std::to_string(given) +
                      (given == 1 ? " was given" : " were given");
    type_error(msg);
}

[[noreturn]] void missing(const Signature& sig, const std::vector<const char*>& names) {
    std::string msg = std::string(sig.name) + "() missing " + std::to_string(names.size()) +
                      " required positional argument" + (names.size() == 1 ? "" : "s") + ": ";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) msg += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
        msg += "'";
        msg += names[i];
        msg += "'";
    }
    type_error(msg);
}

// Bind one keyword argument; shared by both calling conventions.
void bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  PyObject** out) {
    Py_ssize_t len = 0;
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (k == nullptr) {
        PyErr_Clear();
        type_error(std::string(sig.name) + "() keywords must be strings");
    }
    for (size_t i = 0; i < sig.count; ++i) {
        if (std::strlen(sig.params[i]) == static_cast<size_t>(len) &&
            std::memcmp(sig.params[i], k, static_cast<size_t>(len)) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs || out[i] != nullptr) {
                type_error(std::string(sig.name) + "() got multiple values for argument '" +
                           sig.params[i] + "'");
            }
            out[i] = value;
            return;
        }
    }
    type_error(std::string(sig.name) + "() got an unexpected keyword argument '" +
               std::string(k, static_cast<size_t>(len)) + "'");
}

void check_missing(const Signature& sig, PyObject** out) {
    std::vector<const char*> absent;
    for (size_t i = 0; i + sig.optional < sig.count; ++i)
        if (out[i] == nullptr) absent.push_back(sig.params[i]);
    if (!absent.empty()) missing(sig, absent);
}

}  // namespace

void match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
           PyObject** out) {
    if (static_cast<size_t>(nargs) > sig.count) too_many(sig.name, sig.count, nargs);
    for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, out);
    }
    check_missing(sig, out);
}

void match_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<size_t>(nargs) > sig.count) too_many(sig.name, sig.count, nargs);
    for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, nargs, out);
    }
    check_missing(sig, out);
}

PyObject* single_argument(const char* name, const char* arg, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    const char* params[] = {arg};
    PyObject* out = nullptr;
    match(Signature{name, params, 1}, args, nargs, kwnames, &out);
    return out;
}

void no_positional(const char* name, Py_ssize_t nargs) {
    if (nargs > 0) too_many(name, 0, nargs);
}

void no_keywords(const char* name, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        const char* k = PyUnicode_AsUTF8(key);
        if (k == nullptr) throw PyErrorSet{};
        type_error(std::string(name) + "() got an unexpected keyword argument '" + k + "'");
    }
}

}  // namespace corvane::py

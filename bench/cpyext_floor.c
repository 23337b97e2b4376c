/* The floor of the C API: what an extension cannot go below when it reads an
 * attribute, returns held objects or stores a value (bench/cpyext_floor.py). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>

typedef struct { PyObject_HEAD PyObject* value; } Holder;

static PyObject* holder_getattro(PyObject* self, PyObject* name) {
    (void)name;
    PyObject* v = ((Holder*)self)->value;
    if (v == NULL) v = Py_None;
    Py_INCREF(v);
    return v;
}
static int holder_setattro(PyObject* self, PyObject* name, PyObject* value) {
    (void)name;
    PyObject* old = ((Holder*)self)->value;
    Py_XINCREF(value);
    ((Holder*)self)->value = value;
    Py_XDECREF(old);
    return 0;
}
static void holder_dealloc(PyObject* self) {
    Py_XDECREF(((Holder*)self)->value);
    Py_TYPE(self)->tp_free(self);
}
static PyTypeObject HolderType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "cpyext_floor.Holder",
    .tp_basicsize = sizeof(Holder),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_getattro = holder_getattro,
    .tp_setattro = holder_setattro,
    .tp_dealloc = holder_dealloc,
    .tp_new = PyType_GenericNew,
};

static PyObject** held = NULL;
static Py_ssize_t held_n = 0;
static uint32_t** sets = NULL;
static Py_ssize_t* set_len = NULL;
static Py_ssize_t nsets = 0;

/* hold(objects, list of lists of positions) */
static PyObject* hold(PyObject* m, PyObject* args) {
    (void)m;
    PyObject *objs, *groups;
    if (!PyArg_ParseTuple(args, "OO", &objs, &groups)) return NULL;
    held_n = PySequence_Size(objs);
    held = malloc(sizeof(PyObject*) * held_n);
    for (Py_ssize_t i = 0; i < held_n; ++i) held[i] = PySequence_GetItem(objs, i);
    nsets = PySequence_Size(groups);
    sets = malloc(sizeof(uint32_t*) * nsets);
    set_len = malloc(sizeof(Py_ssize_t) * nsets);
    for (Py_ssize_t g = 0; g < nsets; ++g) {
        PyObject* grp = PySequence_GetItem(groups, g);
        set_len[g] = PySequence_Size(grp);
        sets[g] = malloc(4 * set_len[g]);
        for (Py_ssize_t i = 0; i < set_len[g]; ++i) {
            PyObject* x = PySequence_GetItem(grp, i);
            sets[g][i] = (uint32_t)PyLong_AsLong(x);
            Py_DECREF(x);
        }
        Py_DECREF(grp);
    }
    Py_RETURN_NONE;
}
static PyObject* noop(PyObject* m, PyObject* arg) { (void)m; (void)arg; Py_RETURN_NONE; }
/* take(g): a new list of the held objects of set g, filled through its item array */
static PyObject* take(PyObject* m, PyObject* arg) {
    (void)m;
    Py_ssize_t g = PyLong_AsSsize_t(arg) % nsets;
    Py_ssize_t n = set_len[g];
    PyObject* list = PyList_New(n);
    PyObject** items = PySequence_Fast_ITEMS(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = held[sets[g][i]];
        Py_INCREF(o);
        items[i] = o;
    }
    return list;
}
/* take_set_item(g): the same with PyList_SET_ITEM */
static PyObject* take_set_item(PyObject* m, PyObject* arg) {
    (void)m;
    Py_ssize_t g = PyLong_AsSsize_t(arg) % nsets;
    Py_ssize_t n = set_len[g];
    PyObject* list = PyList_New(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = held[sets[g][i]];
        Py_INCREF(o);
        PyList_SET_ITEM(list, i, o);
    }
    return list;
}
/* touch(g): only INCREF and DECREF each object of set g */
static PyObject* touch(PyObject* m, PyObject* arg) {
    (void)m;
    Py_ssize_t g = PyLong_AsSsize_t(arg) % nsets;
    for (Py_ssize_t i = 0; i < set_len[g]; ++i) { Py_INCREF(held[sets[g][i]]); }
    for (Py_ssize_t i = 0; i < set_len[g]; ++i) { Py_DECREF(held[sets[g][i]]); }
    Py_RETURN_NONE;
}
static PyMethodDef methods[] = {
    {"hold", hold, METH_VARARGS, ""},
    {"noop", noop, METH_O, ""},
    {"take", take, METH_O, ""},
    {"take_set_item", take_set_item, METH_O, ""},
    {"touch", touch, METH_O, ""},
    {NULL, NULL, 0, NULL}};
static struct PyModuleDef mod = {
    PyModuleDef_HEAD_INIT, .m_name = "cpyext_floor", .m_size = -1, .m_methods = methods};
PyMODINIT_FUNC PyInit_cpyext_floor(void) {
    if (PyType_Ready(&HolderType) < 0) return NULL;
    PyObject* m = PyModule_Create(&mod);
    Py_INCREF(&HolderType);
    PyModule_AddObject(m, "Holder", (PyObject*)&HolderType);
    return m;
}

// kelvara._kernels: the array kernels of the fit, for Python.
//
// Private to the package.  Arrays travel as bytes or bytearray objects of
// native doubles (NumPy's frombuffer shares their memory), so the module
// needs neither NumPy's headers nor the buffer protocol, which the limited
// API of 3.9 lacks (and with it the exports that would pin a bytearray).
// The interpreter lock is held throughout a call, so no other thread can
// resize a bytearray meanwhile; signal handlers run at the stop polls
// (Ctrl-C is honoured every few thousand points), and after each poll every
// array is checked to be where it was (see Watch).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "arrays.h"

namespace kelvara::kernels {
namespace {

// An array argument: its bytes and its length in doubles.  None is an
// absent array; outputs must be bytearrays.
struct Array {
    PyObject* object = nullptr;
    unsigned char* data = nullptr;
    Py_ssize_t bytes = 0;
    Py_ssize_t size = 0;
};

// The arrays of the call in progress on this thread.  The stop poll runs
// Python signal handlers, and a handler may resize a bytearray, which
// moves or frees the memory the kernels hold: after every poll each array
// must still be where it was and as long, or the call stops (before
// anything more is read or written) with BufferError.
struct Watch {
    const Array* arrays = nullptr;
    int count = 0;
};
thread_local Watch watch;

const Array* moved_array() noexcept {
    for (int i = 0; i < watch.count; ++i) {
        const Array& a = watch.arrays[i];
        if (a.object == nullptr || !PyByteArray_Check(a.object)) {
            continue;  // absent, or bytes: immutable
        }
        if (reinterpret_cast<unsigned char*>(PyByteArray_AsString(a.object)) != a.data ||
            PyByteArray_Size(a.object) != a.bytes) {
            return &a;
        }
    }
    return nullptr;
}

bool array(PyObject* object, const char* name, bool output, Array& out) {
    if (object == Py_None) {
        return true;
    }
    Py_ssize_t bytes = 0;
    out.object = object;
    if (PyByteArray_Check(object)) {
        out.data = reinterpret_cast<unsigned char*>(PyByteArray_AsString(object));
        bytes = PyByteArray_Size(object);
    } else if (!output && PyBytes_Check(object)) {
        out.data = reinterpret_cast<unsigned char*>(PyBytes_AsString(object));
        bytes = PyBytes_Size(object);
    } else {
        PyErr_Format(PyExc_TypeError, "%s must be %s or None", name, output ? "a bytearray" : "bytes or a bytearray");
        return false;
    }
    if (out.data == nullptr || bytes < 0) {
        return false;
    }
    if (bytes % static_cast<Py_ssize_t>(sizeof(double)) != 0) {
        PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, not a whole number of doubles", name, bytes);
        return false;
    }
    out.bytes = bytes;
    out.size = bytes / static_cast<Py_ssize_t>(sizeof(double));
    return true;
}

// The stop poll: a pending signal whose handler raised, or an array that a
// handler moved.
bool stop_requested() noexcept {
    const bool raised = PyErr_CheckSignals() != 0;
    if (moved_array() != nullptr) {
        if (!raised) {
            PyErr_SetString(PyExc_BufferError,
                            "an array was resized during the call (by a signal handler); the call stopped "
                            "before using its memory again");
        }
        return true;
    }
    return raised;
}

const char* const solve_doc =
    "solve(model, nuc_size, steps, conc, k, sigma, k_iso, fraction, monomer, d_ln_k, d_ln_sigma, d_ln_k_iso)\n"
    "--\n\n"
    "Fractions aggregated (and, where asked, the free monomer and the derivatives of the fraction in\n"
    "ln k, ln sigma and ln k_iso) of every point, written into the output bytearrays.\n"
    "model: a code of MODELS (coop_iso's k is its cooperative pathway's).\n"
    "Raises ValueError with the model's message at the first point that fails.";

PyObject* solve_function(PyObject*, PyObject* args) {
    int model = 0;
    long long nuc_size = 0;
    long long steps = 0;
    PyObject* objects[9];
    if (!PyArg_ParseTuple(args, "iLLOOOOOOOOO:solve", &model, &nuc_size, &steps, &objects[0], &objects[1],
                          &objects[2], &objects[3], &objects[4], &objects[5], &objects[6], &objects[7],
                          &objects[8])) {
        return nullptr;
    }
    if (!known(model)) {
        PyErr_Format(PyExc_ValueError, "unknown model code %d", model);
        return nullptr;
    }
    if (nuc_size < 0 || nuc_size > 0xFFFFFFFFLL || steps < 0) {
        PyErr_SetString(PyExc_ValueError, "nuc_size and steps must be non-negative (nuc_size below 2**32)");
        return nullptr;
    }
    static const char* const names[9] = {"conc", "k", "sigma", "k_iso", "fraction", "monomer",
                                         "d_ln_k", "d_ln_sigma", "d_ln_k_iso"};
    Array arrays[9];
    for (int i = 0; i < 9; ++i) {
        if (!array(objects[i], names[i], i >= 4, arrays[i])) {
            return nullptr;
        }
    }
    const Model which = static_cast<Model>(model);
    const Kind& kind = kinds[model];
    if (kind.pathway_b) {
        PyErr_Format(PyExc_ValueError, "the %s model is solved by solve_pathways", kind.name);
        return nullptr;
    }
    const bool needs_sigma = kind.sigma;
    const bool needs[4] = {true, true, kind.sigma, kind.k_iso};
    const Py_ssize_t size = arrays[0].size;
    for (int i = 0; i < 9; ++i) {
        if (i < 4 && needs[i] && arrays[i].data == nullptr) {
            PyErr_Format(PyExc_ValueError, "this model needs %s", names[i]);
            return nullptr;
        }
        // Longer arrays are workspaces: their first `size` doubles are used.
        if (arrays[i].data != nullptr && arrays[i].size < size) {
            PyErr_Format(PyExc_ValueError, "%s holds %zd values, conc %zd", names[i], arrays[i].size, size);
            return nullptr;
        }
    }
    Points points;
    points.size = static_cast<std::size_t>(size);
    points.conc = arrays[0].data;
    points.k = arrays[1].data;
    points.sigma = needs_sigma ? arrays[2].data : nullptr;
    points.k_iso = kind.k_iso ? arrays[3].data : nullptr;
    points.fraction = arrays[4].data;
    points.monomer = arrays[5].data;
    points.d_ln_k = arrays[6].data;
    points.d_ln_sigma = arrays[7].data;
    points.d_ln_k_iso = arrays[8].data;
    Failure failure{};
    {
        const Watch outer = watch;
        watch = {arrays, 9};
        const models::StopScope scope(&stop_requested);
        failure = kernels::solve(which, static_cast<std::uint32_t>(nuc_size), static_cast<std::uint64_t>(steps),
                                 points);
        watch = outer;
    }
    if (failure.error == models::ModelError::interrupted) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
        }
        return nullptr;
    }
    if (failure.error != models::ModelError::none) {
        PyErr_SetString(PyExc_ValueError, models::message(failure.error));
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const pathways_doc =
    "solve_pathways(conc, k, sigma, k_b, sigma_b, fraction, monomer, share_b, slopes)\n"
    "--\n\n"
    "Two cooperative pathways (dimer nuclei) competing for the monomer: the fraction aggregated, the free\n"
    "monomer and the share of conc held in pathway B of every point (outputs may be None), and in `slopes`\n"
    "(8 blocks of len(conc) doubles) the derivatives of the fraction in ln k, ln sigma, ln k_b and\n"
    "ln sigma_b, then those of B's share.  Points whose inputs give no number give NaN.";

PyObject* pathways_function(PyObject*, PyObject* args) {
    constexpr int count = 9;
    PyObject* objects[count];
    if (!PyArg_ParseTuple(args, "OOOOOOOOO:solve_pathways", &objects[0], &objects[1], &objects[2], &objects[3],
                          &objects[4], &objects[5], &objects[6], &objects[7], &objects[8])) {
        return nullptr;
    }
    static const char* const names[count] = {"conc", "k", "sigma", "k_b", "sigma_b",
                                             "fraction", "monomer", "share_b", "slopes"};
    Array arrays[count];
    for (int i = 0; i < count; ++i) {
        if (!array(objects[i], names[i], i >= 5, arrays[i])) {
            return nullptr;
        }
    }
    const Py_ssize_t size = arrays[0].size;
    for (int i = 0; i < count; ++i) {
        if (i < 5 && arrays[i].data == nullptr) {
            PyErr_Format(PyExc_ValueError, "this model needs %s", names[i]);
            return nullptr;
        }
        const Py_ssize_t needed = i == count - 1 ? 8 * size : size;
        if (arrays[i].data != nullptr && arrays[i].size < needed) {
            PyErr_Format(PyExc_ValueError, "%s holds %zd values, not %zd", names[i], arrays[i].size, needed);
            return nullptr;
        }
    }
    PathwayPoints points;
    points.size = static_cast<std::size_t>(size);
    points.conc = arrays[0].data;
    points.k = arrays[1].data;
    points.sigma = arrays[2].data;
    points.k_b = arrays[3].data;
    points.sigma_b = arrays[4].data;
    points.fraction = arrays[5].data;
    points.monomer = arrays[6].data;
    points.share_b = arrays[7].data;
    points.slopes = arrays[8].data;
    Failure failure{};
    {
        const Watch outer = watch;
        watch = {arrays, count};
        const models::StopScope scope(&stop_requested);
        failure = kernels::solve_pathways(points);
        watch = outer;
    }
    if (failure.error == models::ModelError::interrupted) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

const char* const exp_doc =
    "exp(values, count=-1)\n--\n\n"
    "exp of the first `count` doubles of the bytearray `values` (all of them by default), in place, by the\n"
    "same library function as the models.";

PyObject* exp_function(PyObject*, PyObject* args) {
    PyObject* values = nullptr;
    Py_ssize_t count = -1;
    if (!PyArg_ParseTuple(args, "O|n:exp", &values, &count)) {
        return nullptr;
    }
    Array out;
    if (values == Py_None || !array(values, "values", true, out)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "values must be a bytearray");
        }
        return nullptr;
    }
    if (count > out.size) {
        PyErr_Format(PyExc_ValueError, "values holds %zd doubles, not %zd", out.size, count);
        return nullptr;
    }
    kernels::exp_in_place(out.data, static_cast<std::size_t>(count < 0 ? out.size : count));
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"solve", solve_function, METH_VARARGS, solve_doc},
    {"solve_pathways", pathways_function, METH_VARARGS, pathways_doc},
    {"exp", exp_function, METH_VARARGS, exp_doc},
    {nullptr, nullptr, 0, nullptr},
};

// MODELS: {name: (code, constants)} of every model the kernels solve,
// constants being the inputs it takes ("k", and "sigma", "k_iso"; "k_b",
// "sigma_b" of a second cooperative pathway).
int add_models(PyObject* module) {
    PyObject* table = PyDict_New();
    if (table == nullptr) {
        return -1;
    }
    for (int i = 0; i < kind_count; ++i) {
        const Kind& kind = kinds[i];
        PyObject* entry = nullptr;
        if (kind.pathway_b) {
            entry = Py_BuildValue("(i(ssss))", i, "k", "sigma", "k_b", "sigma_b");
        } else if (kind.k_iso) {
            entry = Py_BuildValue("(i(sss))", i, "k", "sigma", "k_iso");
        } else if (kind.sigma) {
            entry = Py_BuildValue("(i(ss))", i, "k", "sigma");
        } else {
            entry = Py_BuildValue("(i(s))", i, "k");
        }
        const int failed = entry == nullptr ? -1 : PyDict_SetItemString(table, kind.name, entry);
        Py_XDECREF(entry);
        if (failed != 0) {
            Py_DECREF(table);
            return -1;
        }
    }
    if (PyModule_AddObject(module, "MODELS", table) != 0) {  // steals the reference on success only
        Py_DECREF(table);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_models)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    /* m_base */ PyModuleDef_HEAD_INIT,
    /* m_name */ "_kernels",
    /* m_doc */ "Array kernels of the fit (private).",
    /* m_size */ 0,
    /* m_methods */ functions,
    /* m_slots */ slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

}  // namespace
}  // namespace kelvara::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
    return PyModuleDef_Init(&kelvara::kernels::module_definition);
}

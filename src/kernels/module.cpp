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
#include <cstdio>
#include <cstring>

#include "arrays.h"
#include "kinetics.h"

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
    "solve(model, nuc_size, steps, conc, inputs, fraction, monomer, slopes)\n"
    "--\n\n"
    "Fractions aggregated (and, where asked, the free monomer and the derivatives of the fraction in\n"
    "the logarithm of each input) of every point, written into the output bytearrays.\n"
    "model: a code of MODELS; inputs: a tuple of the constants MODELS names for it, in that order\n"
    "(coop_iso's k is its cooperative pathway's); slopes: None, or a tuple of outputs (or None) in the\n"
    "same order.  Raises ValueError with the model's message at the first point that fails.";

// The arrays of a call: conc, the inputs, fraction, monomer, the slopes.
constexpr int most_arrays = 3 + 2 * most_inputs;

// The items of a tuple argument, one per input of `kind`, into `out` (None,
// where `optional`: as many None).
bool items(PyObject* given, const char* what, const Kind& kind, bool optional, PyObject** out) {
    const int count = input_count(kind);
    if (given == Py_None && optional) {
        for (int i = 0; i < count; ++i) {
            out[i] = Py_None;
        }
        return true;
    }
    if (PyTuple_Check(given) && PyTuple_Size(given) == count) {
        for (int i = 0; i < count; ++i) {
            out[i] = PyTuple_GetItem(given, i);  // borrowed, as the tuple is held by the call
        }
        return true;
    }
    char names[128] = "";
    std::size_t used = 0;
    for (int i = 0; i < count && used < sizeof(names); ++i) {
        const int wrote = std::snprintf(names + used, sizeof(names) - used, "%s%s", i ? ", " : "", kind.inputs[i]);
        used += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
    PyErr_Format(PyExc_ValueError, "%s of the %s model are a tuple of %d (%s)%s", what, kind.name, count, names,
                 optional ? " or None" : "");
    return false;
}

const Input* point_input(const char* name) noexcept {
    for (const Input& input : point_inputs) {
        if (std::strcmp(input.name, name) == 0) {
            return &input;
        }
    }
    return nullptr;
}

PyObject* solve_function(PyObject*, PyObject* args) {
    int model = 0;
    long long nuc_size = 0;
    long long steps = 0;
    PyObject* conc = nullptr;
    PyObject* given_inputs = nullptr;
    PyObject* fraction = nullptr;
    PyObject* monomer = nullptr;
    PyObject* given_slopes = nullptr;
    if (!PyArg_ParseTuple(args, "iLLOOOOO:solve", &model, &nuc_size, &steps, &conc, &given_inputs, &fraction,
                          &monomer, &given_slopes)) {
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
    const Model which = static_cast<Model>(model);
    const Kind& kind = kinds[model];
    if (kind.pathway_b) {
        PyErr_Format(PyExc_ValueError, "the %s model is solved by solve_pathways", kind.name);
        return nullptr;
    }
    const int count = input_count(kind);
    PyObject* objects[most_arrays];
    const char* names[most_arrays];
    objects[0] = conc;
    names[0] = "conc";
    if (!items(given_inputs, "the inputs", kind, false, objects + 1) ||
        !items(given_slopes, "the slopes", kind, true, objects + 3 + count)) {
        return nullptr;
    }
    objects[1 + count] = fraction;
    objects[2 + count] = monomer;
    names[1 + count] = "fraction";
    names[2 + count] = "monomer";
    char slope_names[most_inputs][32];
    for (int i = 0; i < count; ++i) {
        names[1 + i] = kind.inputs[i];
        std::snprintf(slope_names[i], sizeof(slope_names[i]), "d_ln_%s", kind.inputs[i]);
        names[3 + count + i] = slope_names[i];
    }
    const int total = 3 + 2 * count;
    Array arrays[most_arrays];
    for (int i = 0; i < total; ++i) {
        if (!array(objects[i], names[i], i > count, arrays[i])) {
            return nullptr;
        }
    }
    const Py_ssize_t size = arrays[0].size;
    for (int i = 0; i < total; ++i) {
        if (i <= count && arrays[i].data == nullptr) {
            PyErr_Format(PyExc_ValueError, "the %s model needs %s", kind.name, names[i]);
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
    for (int i = 0; i < count; ++i) {
        const Input* input = point_input(kind.inputs[i]);
        if (input == nullptr) {  // a kind whose constant Points does not hold: a fault of the tables
            PyErr_Format(PyExc_SystemError, "the kernels hold no input %s", kind.inputs[i]);
            return nullptr;
        }
        points.*(input->value) = arrays[1 + i].data;
        points.*(input->slope) = arrays[3 + count + i].data;
    }
    points.fraction = arrays[1 + count].data;
    points.monomer = arrays[2 + count].data;
    Failure failure{};
    {
        const Watch outer = watch;
        watch = {arrays, total};
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

const char* const simulate_doc =
    "simulate(nuc_size, k, sigma, k_plus, ratio, c_tot, start, forcings, times, rtol, atol, max_steps, sums,\n"
    "         states)\n"
    "--\n\n"
    "Nucleated polymerisation in time from the state (m, c_2 .. c_N, P, Q over c_tot) at time 0, followed\n"
    "by one sensitivity per item of `forcings` (0: ln K, 1: ln sigma, 2: ln k_plus, 3: ln ratio, 4: none,\n"
    "for a start's constants), whose values at time 0 follow the state in `start`.  At each of `times` (s,\n"
    "non-decreasing, from 0): the free monomer, the monomers in oligomers (2 .. n), in polymers, the number\n"
    "of polymers and the monomers beyond the cutoff, over c_tot, of the state and then of each sensitivity,\n"
    "into `sums` (5 per time and block); the state into `states` (None, or N + 2 per time).  Returns (steps,\n"
    "rejected steps, evaluations, factorisations).  ValueError for arguments out of range; ArithmeticError\n"
    "when the integration cannot meet its tolerance (the outputs then hold nothing to use).";

PyObject* simulate_function(PyObject*, PyObject* args) {
    long long nuc_size = 0;
    long long max_steps = 0;
    kinetics::Rates rates{};
    kinetics::Settings settings{};
    PyObject* objects[4];
    PyObject* given_forcings = nullptr;
    if (!PyArg_ParseTuple(args, "LdddddOOOddLOO:simulate", &nuc_size, &rates.k, &rates.sigma, &rates.k_plus,
                          &rates.ratio, &rates.c_tot, &objects[0], &given_forcings, &objects[1], &settings.rtol,
                          &settings.atol, &max_steps, &objects[2], &objects[3])) {
        return nullptr;
    }
    if (nuc_size < 2 || nuc_size > 0xFFFFFFFFLL || max_steps < 1) {
        PyErr_SetString(PyExc_ValueError, "nuc_size must be 2 or more (below 2**32) and max_steps positive");
        return nullptr;
    }
    constexpr Py_ssize_t most_forcings = 16;
    kinetics::Forcing forcings[most_forcings];
    if (!PyTuple_Check(given_forcings) || PyTuple_Size(given_forcings) > most_forcings) {
        PyErr_SetString(PyExc_TypeError, "forcings must be a tuple of at most 16 codes");
        return nullptr;
    }
    const Py_ssize_t sensitivities = PyTuple_Size(given_forcings);
    for (Py_ssize_t j = 0; j < sensitivities; ++j) {
        const long code = PyLong_AsLong(PyTuple_GetItem(given_forcings, j));
        if (code == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        if (code < 0 || code > static_cast<long>(kinetics::Forcing::none)) {
            PyErr_Format(PyExc_ValueError, "unknown forcing code %ld", code);
            return nullptr;
        }
        forcings[j] = static_cast<kinetics::Forcing>(code);
    }
    rates.nuc_size = static_cast<std::uint32_t>(nuc_size);
    settings.max_steps = static_cast<std::uint64_t>(max_steps);
    static const char* const names[4] = {"start", "times", "sums", "states"};
    Array arrays[4];
    for (int i = 0; i < 4; ++i) {
        if (!array(objects[i], names[i], i >= 2, arrays[i])) {
            return nullptr;
        }
    }
    if (arrays[0].data == nullptr || arrays[1].data == nullptr || arrays[2].data == nullptr) {
        PyErr_SetString(PyExc_ValueError, "start, times and sums are needed");
        return nullptr;
    }
    const Py_ssize_t blocks = 1 + sensitivities;
    const Py_ssize_t dim = arrays[0].size / blocks;
    const Py_ssize_t count = arrays[1].size;
    if (dim * blocks != arrays[0].size) {
        PyErr_SetString(PyExc_ValueError, "start must hold the state and each sensitivity, all of one length");
        return nullptr;
    }
    if (arrays[2].size < static_cast<Py_ssize_t>(kinetics::sum_count) * blocks * count ||
        (arrays[3].data != nullptr && arrays[3].size < dim * count)) {
        PyErr_SetString(PyExc_ValueError, "sums must hold 5 values per time and block, states N + 2 per time");
        return nullptr;
    }
    kinetics::Outcome outcome;
    {
        const Watch outer = watch;
        watch = {arrays, 4};
        outcome = kinetics::simulate(rates, reinterpret_cast<const double*>(arrays[0].data),
                                     static_cast<std::size_t>(dim), forcings, static_cast<std::size_t>(sensitivities),
                                     reinterpret_cast<const double*>(arrays[1].data),
                                     static_cast<std::size_t>(count), settings,
                                     reinterpret_cast<double*>(arrays[2].data),
                                     reinterpret_cast<double*>(arrays[3].data), &stop_requested);
        watch = outer;
    }
    switch (outcome.status) {
        case kinetics::Status::ok:
            break;
        case kinetics::Status::stopped:
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_KeyboardInterrupt, "interrupted");
            }
            return nullptr;
        case kinetics::Status::bad_input:
            PyErr_SetString(PyExc_ValueError, kinetics::message(outcome.status));
            return nullptr;
        case kinetics::Status::no_memory:
            return PyErr_NoMemory();
        default: {
            char text[200];
            std::snprintf(text, sizeof text, "%s (at t = %.6g s, after %llu steps)", kinetics::message(outcome.status),
                          outcome.time, static_cast<unsigned long long>(outcome.stats.steps));
            PyErr_SetString(PyExc_ArithmeticError, text);
            return nullptr;
        }
    }
    return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(outcome.stats.steps),
                         static_cast<unsigned long long>(outcome.stats.rejected),
                         static_cast<unsigned long long>(outcome.stats.evaluations),
                         static_cast<unsigned long long>(outcome.stats.factorisations));
}

PyMethodDef functions[] = {
    {"solve", solve_function, METH_VARARGS, solve_doc},
    {"solve_pathways", pathways_function, METH_VARARGS, pathways_doc},
    {"exp", exp_function, METH_VARARGS, exp_doc},
    {"simulate", simulate_function, METH_VARARGS, simulate_doc},
    {nullptr, nullptr, 0, nullptr},
};

// MODELS: {name: (code, inputs)} of every model the kernels solve, inputs
// being the names of the constants it takes, in solve()'s order (those of
// kinds[]).
int add_models(PyObject* module) {
    PyObject* table = PyDict_New();
    if (table == nullptr) {
        return -1;
    }
    for (int i = 0; i < kind_count; ++i) {
        const Kind& kind = kinds[i];
        const int count = input_count(kind);
        PyObject* inputs = PyTuple_New(count);
        for (int j = 0; inputs != nullptr && j < count; ++j) {
            PyObject* name = PyUnicode_FromString(kind.inputs[j]);
            if (name == nullptr) {
                Py_CLEAR(inputs);
                break;
            }
            if (PyTuple_SetItem(inputs, j, name) != 0) {  // steals the reference, even when it fails
                Py_CLEAR(inputs);
                break;
            }
        }
        PyObject* entry = inputs == nullptr ? nullptr : Py_BuildValue("(iO)", i, inputs);
        Py_XDECREF(inputs);
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

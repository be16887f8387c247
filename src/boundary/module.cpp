// kelvara._core: the module definition and the registry of its functions.
//
// One row of KELVARA_REGISTRY per Python function drives everything a caller
// sees of it: the name, the parameter list (which is both the text signature
// and the binder's keyword names), the docstring and the model routine.  The
// routine's parameter types pick the conversions, in parameter order.
#include <exception>
#include <new>
#include <tuple>
#include <utility>

#include "boundary.h"
#include "models.h"
#include "thermo.h"

namespace kelvara::boundary {
namespace {

// Registration order is the order of the rows; every parameter is required
// and may be given by position or by keyword.
#define KELVARA_REGISTRY(FUNCTION)                                                        \
    FUNCTION(isodesmic_model_direct, "(x, k)",                                            \
             "Calculate the fraction of aggregated species (direct formula).",           \
             models::isodesmic_model_direct)                                              \
    FUNCTION(isodesmic_model, "(conc, k, num_itr)",                                       \
             "Calculate the aggregation from total concentration (bisection method).",   \
             models::isodesmic_model)                                                     \
    FUNCTION(temp_isodesmic_model_direct, "(temp, delta_h, delta_s, c_tot, scaler)",      \
             "Calculate isodesmic aggregation (direct formula, temperature-dependent).", \
             thermo::temp_isodesmic_model_direct)                                         \
    FUNCTION(temp_isodesmic_model, "(temp, delta_h, delta_s, c_tot, scaler)",             \
             "Calculate isodesmic aggregation (bisection method, temperature-dependent).", \
             thermo::temp_isodesmic_model)                                                \
    FUNCTION(cooperative_model, "(conc, k, sigma, num_itr)",                              \
             "Calculate the aggregation from total concentration (bisection method).",   \
             models::cooperative_model)                                                   \
    FUNCTION(temp_cooperative_model, "(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler)", \
             "Calculate cooperative aggregation (bisection method, temperature-dependent).", \
             thermo::temp_cooperative_model)                                              \
    FUNCTION(coop_iso_model, "(conc, k_iso, k_coop, sigma, num_itr)",                     \
             "Calculate the aggregation from total concentration (bisection method, mixed model).", \
             models::coop_iso_model)                                                      \
    FUNCTION(temp_coop_iso_model,                                                         \
             "(temp, delta_h_iso, delta_s_iso, delta_h_coop, delta_s_coop, delta_h_nuc_coop, c_tot, scaler)", \
             "Calculate mixed model aggregation (bisection method, temperature-dependent).", \
             thermo::temp_coop_iso_model)                                                 \
    FUNCTION(cooperative_model_n, "(conc, k, sigma, nuc_size, num_itr)",                  \
             "Calculate the aggregation from total concentration (bisection method).",   \
             models::cooperative_model_n)                                                 \
    FUNCTION(temp_cooperative_model_n,                                                    \
             "(temp, delta_h, delta_s, delta_h_nuc, c_tot, scaler, nuc_size)",            \
             "Calculate cooperative aggregation (bisection method, temperature-dependent).", \
             thermo::temp_cooperative_model_n)

// What a routine parameter of each C++ type is converted into.
template <typename Parameter>
struct Native {
    using type = std::remove_cv_t<std::remove_reference_t<Parameter>>;
};

// The stop poll of every call: runs the Python signal handlers that are
// due (the interpreter lock is held throughout a call); true when one
// raised, whose exception is then set.
bool signal_pending() noexcept {
    return PyErr_CheckSignals() != 0;
}

template <typename Routine>
struct RoutineTraits;

template <typename Result, typename... Parameters>
struct RoutineTraits<Result (*)(Parameters...) noexcept> {
    static constexpr std::size_t arity = sizeof...(Parameters);
    using Values = std::tuple<typename Native<Parameters>::type...>;
};

template <typename Values, std::size_t... I>
bool convert_in_order(const FunctionDescription& description, PyObject* const* slots,
                      Values& values, std::index_sequence<I...>) {
    // Left to right, stopping at the first failure.
    return ((convert(slots[I], std::get<I>(values)) ||
             (argument_extraction_error(description.parameter(I)), false)) &&
            ...);
}

template <const FunctionDescription& description, auto routine>
PyObject* call(PyObject* args, PyObject* kwargs) {
    using Traits = RoutineTraits<decltype(routine)>;
    static_assert(Traits::arity == description.num_parameters,
                  "the parameter list and the model routine disagree");

    typename Traits::Values values;
    PyObject* slots[Traits::arity] = {};
    Ref held[Traits::arity];
    if (!extract_arguments_tuple_dict(description, args, kwargs, slots, held)) {
        return nullptr;
    }
    if (!convert_in_order(description, slots, values, std::make_index_sequence<Traits::arity>())) {
        return nullptr;
    }
    // Long computations ask between chunks of work whether a signal
    // (Ctrl-C) is pending; its handler's exception then ends the call.
    const models::StopScope scope(&signal_pending);
    return to_python(std::apply(routine, std::move(values)));
}

// The entry point of one function (ml_meth).  Self is null (METH_STATIC).
// No C++ exception crosses into the interpreter.
template <const FunctionDescription& description, auto routine>
PyObject* entry_point(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return call<description, routine>(args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
        return nullptr;
    }
}

template <typename Function>
PyCFunction as_method(Function function) {
    // ml_meth is declared as the two-argument form; METH_KEYWORDS says which
    // form is really there.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#define KELVARA_DESCRIPTION(name, parameters, sentence, routine) \
    constexpr FunctionDescription name##_description = describe(#name, parameters);
KELVARA_REGISTRY(KELVARA_DESCRIPTION)
#undef KELVARA_DESCRIPTION

#define KELVARA_METHOD(name, parameters, sentence, routine)                    \
    {#name, as_method(&entry_point<name##_description, &routine>),             \
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, #name parameters "\n--\n\n" sentence},
PyMethodDef functions[] = {
    KELVARA_REGISTRY(KELVARA_METHOD)
    {nullptr, nullptr, 0, nullptr},
};
#undef KELVARA_METHOD

// The module's __all__, created on first use.  New reference, or null.
PyObject* all_list(PyObject* module) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return all;
    }
    PyErr_Clear();
    Ref created(PyList_New(0));
    if (!created || PyObject_SetAttrString(module, "__all__", created.get()) < 0) {
        return nullptr;
    }
    return created.release();
}

int add_function(PyObject* module, PyMethodDef* definition) {
    Ref function;
    {
        const Ref module_name(PyModule_GetNameObject(module));
        if (!module_name) {
            return -1;
        }
        function = Ref(PyCMethod_New(definition, module, module_name.get(), nullptr));
    }
    if (!function) {
        return -1;
    }
    const Ref name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return -1;
    }
    const Ref all(all_list(module));
    if (!all || PyList_Append(all.get(), name.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    for (PyMethodDef* definition = functions; definition->ml_name != nullptr; ++definition) {
        if (add_function(module, definition) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

// No per-module state, so no traverse, clear or free.
PyModuleDef module_definition = {
    /* m_base */ PyModuleDef_HEAD_INIT,
    /* m_name */ "_core",
    /* m_doc */ "Equilibrium models of supramolecular polymerisation.",
    /* m_size */ 0,
    /* m_methods */ nullptr,
    /* m_slots */ slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

}  // namespace
}  // namespace kelvara::boundary

PyMODINIT_FUNC PyInit__core(void) {
    return PyModuleDef_Init(&kelvara::boundary::module_definition);
}

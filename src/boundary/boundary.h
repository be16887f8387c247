// The Python side of kelvara._core: argument binding, conversion of Python
// objects to native values, and conversion of model outcomes back to Python
// objects or exceptions.  The only code that includes Python.h.
//
// Built against the limited API of Python 3.9 (the stable ABI), so only
// functions available there are used.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "models.h"
#include "thermo.h"

namespace kelvara::boundary {

// An owned (strong) reference; released when it goes out of scope, so that
// no early return can leak.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Ref& other) noexcept {
        PyObject* object = object_;
        object_ = other.object_;
        other.object_ = object;
    }

private:
    PyObject* object_ = nullptr;
};

inline constexpr std::size_t max_parameters = 8;
inline constexpr std::size_t max_parameter_text = 128;

// Name and parameter names of one Python function: what binding needs.
// The parameter names are kept NUL-terminated in `text`.
struct FunctionDescription {
    const char* name;
    std::size_t num_parameters;
    std::array<std::uint8_t, max_parameters> offset;
    std::array<char, max_parameter_text> text;

    const char* parameter(std::size_t i) const noexcept { return text.data() + offset[i]; }
};

// Builds a description from a name and a parenthesised, ", "-separated
// parameter list such as "(conc, k, num_itr)": the same text that forms
// the function's text signature, so the two cannot disagree.
constexpr FunctionDescription describe(const char* name, std::string_view signature) {
    FunctionDescription description{name, 0, {}, {}};
    const std::string_view list = signature.substr(1, signature.size() - 2);
    std::size_t out = 0;
    description.offset.at(0) = 0;
    for (std::size_t in = 0; in < list.size(); ++in) {
        if (list[in] == ',') {
            description.text.at(out++) = '\0';
            description.offset.at(++description.num_parameters) = static_cast<std::uint8_t>(out);
            ++in;  // the space after the comma
        } else {
            description.text.at(out++) = list[in];
        }
    }
    description.text.at(out) = '\0';
    description.num_parameters += list.empty() ? 0 : 1;
    return description;
}

// Binds a call's positional tuple and keyword dictionary (or null) to the
// parameter slots, which must start out null.  Positional arguments are
// borrowed from the tuple, which outlives the call; keyword values are also
// held in `held`, since code of the caller's run by a conversion could
// change a dictionary the caller passed.  Returns false with a TypeError
// set.
bool extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, PyObject** slots, Ref* held);

// Conversions, one per native kind; false means a Python exception is set.
bool convert(PyObject* object, double& value);
bool convert(PyObject* object, std::uint64_t& value);
bool convert(PyObject* object, std::uint32_t& value);
bool convert(PyObject* object, std::vector<double>& values);

// Turns the pending exception of a failed conversion of the named parameter
// into the one the caller sees: an exact TypeError is re-labelled
// "argument '<name>': ...", anything else is left as it is.
void argument_extraction_error(const char* parameter);

// Results: new references, or null with an exception set.
PyObject* to_python(double value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const models::Outcome& outcome);
PyObject* to_python(const thermo::SweepOutcome& outcome);

// Raises a model error as ValueError; always returns null.
PyObject* raise_model_error(models::ModelError error);

}  // namespace kelvara::boundary

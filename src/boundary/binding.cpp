// Binding of positional and keyword arguments to parameter slots, with the
// interpreter-style messages a caller expects from a Python function.
//
// Order of checks: a surplus of positional arguments, then the keywords in
// the order the caller wrote them, then missing parameters.
#include <string>

#include "boundary.h"

namespace kelvara::boundary {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'; ...
void push_parameter_list(std::string& text, const std::vector<const char*>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                text += ',';
            }
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
}

void raise_type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
}

// Index of the parameter named by a keyword, or -1.  A key that is not a
// str names no parameter.  The names are ASCII, so comparing code points
// gives the same answer as comparing UTF-8 bytes (a key that UTF-8 cannot
// encode matches no ASCII name either), without encoding the key.
std::ptrdiff_t find_parameter(const FunctionDescription& description, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (std::size_t i = 0; i < description.num_parameters; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, description.parameter(i)) == 0) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

void raise_unexpected_keyword(const FunctionDescription& description, PyObject* key) {
    // str(key) may run the caller's code: keep the key alive meanwhile.
    const Ref held = Ref::borrow(key);
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                 description.name, held.get());
}

}  // namespace

[[gnu::noinline]] void raise_missing(const FunctionDescription& description, PyObject* const* slots,
                                    std::size_t given) {
    std::vector<const char*> missing;
    for (std::size_t i = given; i < description.num_parameters; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(description.parameter(i));
        }
    }
    std::string text(description.name);
    text += "() missing ";
    text += std::to_string(missing.size());
    text += missing.size() == 1 ? " required positional argument: "
                                : " required positional arguments: ";
    push_parameter_list(text, missing);
    raise_type_error(text);
}

bool extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, PyObject** slots, Ref* held) {
    const std::size_t num_parameters = description.num_parameters;
    const Py_ssize_t num_args = PyTuple_Size(args);
    if (num_args < 0) {
        return false;
    }
    const std::size_t given = static_cast<std::size_t>(num_args);
    if (given > num_parameters) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                     description.name, num_parameters, num_args);
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const std::ptrdiff_t index = find_parameter(description, key);
            if (index < 0) {
                raise_unexpected_keyword(description, key);
                return false;
            }
            if (slots[index] != nullptr) {
                std::string text(description.name);
                text += "() got multiple values for argument '";
                text += description.parameter(static_cast<std::size_t>(index));
                text += '\'';
                raise_type_error(text);
                return false;
            }
            held[index] = Ref::borrow(value);
            slots[index] = value;
        }
    }

    for (std::size_t i = given; i < num_parameters; ++i) {
        if (slots[i] == nullptr) {
            raise_missing(description, slots, given);
            return false;
        }
    }
    return true;
}

}  // namespace kelvara::boundary

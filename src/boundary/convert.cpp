// Conversions between Python objects and native values, and the exceptions
// that a failed conversion or a model error becomes.
//
// A conversion may run the caller's code (__float__, __index__, __len__,
// __iter__, __next__), which may raise anything or call this module again;
// every object held across such a call is a strong reference.
#include <algorithm>

#include "boundary.h"

namespace kelvara::boundary {
namespace {

// The length of a sequence is only a hint: a generic sequence may report a
// wrong or enormous length, so at most this many doubles are reserved up
// front for it (512 KiB).
constexpr Py_ssize_t max_untrusted_reservation = 1 << 16;

constexpr long long max_uint32 = 4294967295LL;

// The object as a Python int: itself, or the result of __index__.
Ref as_index(PyObject* object) {
    if (PyLong_Check(object)) {
        return Ref::borrow(object);
    }
    return Ref(PyNumber_Index(object));
}

bool raise_not_a_sequence(PyObject* object) {
    if (object == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'Sequence'");
        return false;
    }
    const Ref qualname(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname) {
        PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of 'Sequence'",
                     qualname.get());
    }
    return false;
}

}  // namespace

bool convert(PyObject* object, double& value) {
    // An exact int is read directly, with the same result and the same
    // OverflowError as going through float(); everything else goes through
    // the interpreter's own float conversion.
    const double converted =
        PyLong_CheckExact(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
    if (converted == -1.0 && PyErr_Occurred()) {
        return false;
    }
    value = converted;
    return true;
}

bool convert(PyObject* object, std::uint64_t& value) {
    const Ref index = as_index(object);
    if (!index) {
        return false;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    value = converted;
    return true;
}

bool convert(PyObject* object, std::uint32_t& value) {
    const Ref index = as_index(object);
    if (!index) {
        return false;
    }
    const long long converted = PyLong_AsLongLong(index.get());
    if (converted == -1 && PyErr_Occurred()) {
        return false;
    }
    if (converted < 0 || converted > max_uint32) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    value = static_cast<std::uint32_t>(converted);
    return true;
}

namespace {

// An element of a list or tuple, read by index.  Converting an element may
// run the caller's code, which may shrink the list and drop the element:
// hold it meanwhile (an exact float runs no code).
bool convert_item(PyObject* item, std::vector<double>& values) {
    double value = 0.0;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AsDouble(item);
    } else {
        const Ref held = Ref::borrow(item);
        if (!convert(held.get(), value)) {
            return false;
        }
    }
    values.push_back(value);
    return true;
}

}  // namespace

bool convert(PyObject* object, std::vector<double>& values) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    // Lists and tuples by index, without an iterator: the same items in the
    // same order as iterating, since the length of a list is read again
    // before every item, as its iterator does.
    if (PyTuple_CheckExact(object)) {
        const Py_ssize_t size = PyTuple_Size(object);
        values.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!convert_item(PyTuple_GetItem(object, i), values)) {
                return false;
            }
        }
        return true;
    }
    if (PyList_CheckExact(object)) {
        values.reserve(static_cast<std::size_t>(PyList_Size(object)));
        for (Py_ssize_t i = 0; i < PyList_Size(object); ++i) {
            if (!convert_item(PyList_GetItem(object, i), values)) {
                return false;
            }
        }
        return true;
    }
    if (!PySequence_Check(object)) {
        return raise_not_a_sequence(object);
    }
    const Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();  // no usable length: convert by iteration alone
    } else {
        values.reserve(static_cast<std::size_t>(std::min(hint, max_untrusted_reservation)));
    }

    const Ref iterator(PyObject_GetIter(object));
    if (!iterator) {
        return false;
    }
    for (;;) {
        const Ref item(PyIter_Next(iterator.get()));
        if (!item) {
            return !PyErr_Occurred();
        }
        double value = 0.0;
        if (!convert(item.get(), value)) {
            return false;
        }
        values.push_back(value);
    }
}

void argument_extraction_error(const char* parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        // Subclasses of TypeError and every other exception pass unchanged.
        PyErr_Restore(type, value, traceback);
        return;
    }
    const Ref held_type(type);
    const Ref error(value);
    const Ref held_traceback(traceback);

    Ref text(PyObject_Str(error.get()));
    if (!text) {
        PyErr_WriteUnraisable(error.get());
        text = Ref(PyUnicode_FromString("<unprintable TypeError object>"));
        if (!text) {
            return;
        }
    }
    const Ref message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) {
        return;
    }
    const Ref relabelled(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!relabelled) {
        return;
    }
    // The new exception keeps the original's cause (or none, which also
    // suppresses the context); the original itself is dropped.
    PyException_SetCause(relabelled.get(), PyException_GetCause(error.get()));
    PyErr_SetObject(PyExc_TypeError, relabelled.get());
}

PyObject* to_python(double value) {
    return PyFloat_FromDouble(value);
}

PyObject* to_python(const std::vector<double>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) {
            return nullptr;
        }
        // Steals item; cannot fail on a fresh list of this size.
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* to_python(const models::Outcome& outcome) {
    if (!outcome.ok()) {
        return raise_model_error(outcome.error);
    }
    return PyFloat_FromDouble(outcome.value);
}

PyObject* to_python(const thermo::SweepOutcome& outcome) {
    if (outcome.error != models::ModelError::none) {
        return raise_model_error(outcome.error);
    }
    return to_python(outcome.values);
}

PyObject* raise_model_error(models::ModelError error) {
    if (error == models::ModelError::interrupted) {
        // The signal handler's exception (KeyboardInterrupt for Ctrl-C) is set.
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
        return nullptr;
    }
    const Ref text(PyUnicode_FromString(models::message(error)));
    if (text) {
        PyErr_SetObject(PyExc_ValueError, text.get());
    }
    return nullptr;
}

}  // namespace kelvara::boundary

#pragma once

// The value objects of the module's enumerations, found once and kept, and
// returned in place of a cast. pybind11 makes a new object for every enum
// value it hands to Python, and does not check that allocation: out of
// memory, the process crashes, and a call whose library work has taken
// effect (reads accepted, a client disconnected) would crash on reporting
// it. Returning a kept object asks for no memory.
//
// Every function needs the interpreter lock.

#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

namespace apps {

namespace py = pybind11;

namespace detail {

// The value objects of E, with their values; never freed, as a reference
// dropped at the process's exit could outlive the interpreter.
template <typename E>
std::vector<std::pair<E, PyObject*>>& enum_objects() {
    static std::vector<std::pair<E, PyObject*>> objects;
    return objects;
}

}  // namespace detail

// Finds and keeps the value objects of E, a registered enumeration, unless
// they are kept already. Throws py::error_already_set (keeping nothing) when
// it cannot.
template <typename E>
void keep_enum_objects() {
    auto& objects = detail::enum_objects<E>();
    if (!objects.empty()) {
        return;
    }
    std::vector<std::pair<E, PyObject*>> found;
    const py::dict members = py::type::of<E>().attr("__members__");
    found.reserve(members.size());
    for (const auto item : members) {
        found.emplace_back(item.second.template cast<E>(), item.second.ptr());
    }
    for (auto& entry : found) {
        Py_INCREF(entry.second);
    }
    objects.swap(found);
}

// The kept value object of `value` (found first should it not be kept yet);
// a value without a name of its own is cast.
template <typename E>
py::object enum_object(E value) {
    keep_enum_objects<E>();
    for (const auto& [kept, object] : detail::enum_objects<E>()) {
        if (kept == value) {
            return py::reinterpret_borrow<py::object>(object);
        }
    }
    return py::cast(value);
}

// (first, second) as a new tuple; py::error_already_set when it cannot be
// made (pybind11's make_tuple fails on an assertion there instead).
inline py::tuple pair_tuple(py::object first, py::object second) {
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) {
        throw py::error_already_set();
    }
    PyTuple_SET_ITEM(tuple, 0, first.release().ptr());
    PyTuple_SET_ITEM(tuple, 1, second.release().ptr());
    return py::reinterpret_steal<py::tuple>(tuple);
}

}  // namespace apps

#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace tandril::python {

namespace py = pybind11;

template <class T>
using ForcedArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

// A numeric argument: anything NumPy can turn into an array, cast (even
// lossily) to T and made C-contiguous. Text is refused rather than parsed, so
// a string in place of an array is a TypeError, not a number.
template <class T>
struct NumericArray {
    ForcedArray<T> array;

    [[nodiscard]] const T* data() const { return array.data(); }
    [[nodiscard]] py::ssize_t ndim() const { return array.ndim(); }
    [[nodiscard]] py::ssize_t shape(py::ssize_t axis) const { return array.shape(axis); }
    [[nodiscard]] py::ssize_t size() const { return array.size(); }
};

}  // namespace tandril::python

namespace pybind11::detail {

template <class T>
struct type_caster<tandril::python::NumericArray<T>> {
    PYBIND11_TYPE_CASTER(tandril::python::NumericArray<T>, io_name("numpy.typing.ArrayLike", "numpy.ndarray"));

    bool load(handle src, bool /*convert*/) {
        if (!src || PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr())) return false;
        // Converting without a target dtype first shows what NumPy made of it.
        const array source = array::ensure(src);
        if (!source) return false;
        const char kind = source.dtype().kind();
        if (kind == 'U' || kind == 'S') return false;
        value.array = tandril::python::ForcedArray<T>::ensure(source);
        return static_cast<bool>(value.array);
    }

    static handle cast(const tandril::python::NumericArray<T>& src, return_value_policy, handle) {
        return src.array.inc_ref();
    }
};

}  // namespace pybind11::detail

#include "binding/convert.hpp"

#include <algorithm>

#include "binding/errors.hpp"
#include "binding/messages.hpp"

namespace brindlex::py {

namespace {

bool long_to_u64(PyObject* o, uint64_t& out) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if (v >= 0) {
            out = static_cast<uint64_t>(v);
            return true;
        }
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

}  // namespace

bool to_u64(PyObject* o, uint64_t& out) {
    if (PyLong_Check(o)) return long_to_u64(o, out);
    Ref index = Ref::steal(PyNumber_Index(o));
    return index && long_to_u64(index.get(), out);
}

bool to_u32(PyObject* o, uint32_t& out) {
    uint64_t wide = 0;
    if (!to_u64(o, wide)) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, msg::kOutOfRange);
        return false;
    }
    out = static_cast<uint32_t>(wide);
    return true;
}

bool to_byte(PyObject* o, uint8_t& out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, msg::kOutOfRange);
        return false;
    }
    out = static_cast<uint8_t>(v);
    return true;
}

bool to_term(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_wrong_type(o, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}

bool to_label(PyObject* o, uint32_t& out) {
    if (!PyUnicode_Check(o)) {
        raise_wrong_type(o, "PyString");
        return false;
    }
    const Py_ssize_t len = PyUnicode_GET_LENGTH(o);
    const int kind = PyUnicode_KIND(o);
    if (kind != PyUnicode_1BYTE_KIND) {
        // Only the first character is kept, but a lone surrogate anywhere makes the
        // string unencodable; let the interpreter raise its own UnicodeEncodeError.
        const void* data = PyUnicode_DATA(o);
        for (Py_ssize_t i = 0; i < len; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0xD800 && c <= 0xDFFF) {
                Py_ssize_t ignored = 0;
                if (!PyUnicode_AsUTF8AndSize(o, &ignored)) return false;
                break;
            }
        }
    }
    out = len > 0 ? PyUnicode_READ_CHAR(o, 0) : 0;
    return true;
}

bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(o);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
    } else if (PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy")) {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) {
            PyErr_Clear();
        } else if (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool")) {
            auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
            if (nb_bool) {
                const int truth = nb_bool(o);
                if (truth < 0) return false;
                out = truth != 0;
                return true;
            }
        }
    }
    raise_wrong_type(o, "PyBool");
    return false;
}

bool to_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool check_sequence(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, msg::kStrIsNoSequence);
        return false;
    }
    if (!PySequence_Check(o)) {
        raise_wrong_type(o, "Sequence");
        return false;
    }
    return true;
}

size_t reserve_hint(PyObject* seq) {
    if (PyList_CheckExact(seq)) return static_cast<size_t>(PyList_GET_SIZE(seq));
    if (PyTuple_CheckExact(seq)) return static_cast<size_t>(PyTuple_GET_SIZE(seq));
    const Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min<size_t>(static_cast<size_t>(n), size_t{1} << 20);
}

bool to_u32_vector(PyObject* o, std::vector<uint32_t>& out) {
    if (!check_sequence(o)) return false;
    out.clear();
    out.reserve(reserve_hint(o));
    if (PyBytes_CheckExact(o)) {
        const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(o));
        out.assign(p, p + PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Small exact ints convert without running Python code, so the items can be read
        // in place; the first other item hands the rest to the general loop.
        PyObject** items = PySequence_Fast_ITEMS(o);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            PyObject* item = items[i];
            if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) break;
            const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
            if (v < 0 || v > static_cast<Py_ssize_t>(UINT32_MAX)) break;
            out.push_back(static_cast<uint32_t>(v));
        }
        if (i == n) return true;
        if (PyTuple_CheckExact(o)) {
            for (; i < n; ++i) {
                uint32_t v = 0;
                if (!to_u32(items[i], v)) return false;
                out.push_back(v);
            }
            return true;
        }
        // A list: read live by index from here on, as its iterator would.
        for (; i < PyList_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
            uint32_t v = 0;
            if (!to_u32(item.get(), v)) return false;
            out.push_back(v);
        }
        return true;
    }
    return for_each_item(o, [&](PyObject* item) {
        uint32_t v = 0;
        if (!to_u32(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

}  // namespace brindlex::py

#include "package/video_ids.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"
#include "binding/text.hpp"

namespace brindlex::py {

PyObject* video_texts_object(const lookup::VideoTexts& texts) {
    if (!texts.present()) Py_RETURN_NONE;
    Ref text = Ref::steal(PyBytes_FromStringAndSize(texts.text().data(), static_cast<Py_ssize_t>(texts.text().size())));
    Ref ends = Ref::steal(text ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(texts.ends().data()),
                                                           static_cast<Py_ssize_t>(texts.ends().size() * 4))
                               : nullptr);
    if (!ends) return nullptr;
    return PyTuple_Pack(2, text.get(), ends.get());
}

bool video_texts_of(PyObject* o, std::span<const uint32_t> int_ids, lookup::VideoTexts& out) {
    if (o == Py_None) {
        out = {};
        return true;
    }
    PyObject *text, *ends;
    if (!PyTuple_Check(o) || !PyArg_ParseTuple(o, "SS", &text, &ends)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "video ids must be None or a (text, ends) pair of bytes");
        return false;
    }
    const auto nends = static_cast<size_t>(PyBytes_GET_SIZE(ends));
    if (nends % 4 != 0 || nends == 0) {
        PyErr_SetString(PyExc_ValueError, "the video id table: the offsets are not whole u32 values");
        return false;
    }
    std::vector<uint32_t> e(nends / 4);
    std::memcpy(e.data(), PyBytes_AS_STRING(ends), nends);  // little-endian, as files hold them
    const char* t = PyBytes_AS_STRING(text);
    std::vector<char> bytes(t, t + PyBytes_GET_SIZE(text));
    const std::string wrong = lookup::check_video_texts(e, bytes, int_ids);
    if (!wrong.empty()) {
        PyErr_SetString(PyExc_ValueError, ("the video id table: " + wrong).c_str());
        return false;
    }
    out = lookup::VideoTexts(std::move(e), std::move(bytes));
    return true;
}

PyObject* id_text_of(const lookup::VideoTexts& texts, uint64_t number) {
    if (number >= texts.size()) return raise(PyExc_ValueError, "a video id beyond the id table");
    return new_text(texts.at(static_cast<size_t>(number)));
}

PyObject* translate_videos(const lookup::VideoTexts& texts, PyObject* found) {
    if (!PyList_Check(found)) return raise_wrong_type(found, "list");
    const Py_ssize_t n = PyList_GET_SIZE(found);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(found, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0))) {
            return raise(PyExc_TypeError, "expected (video id, score) pairs");
        }
        Py_ssize_t len = 0;
        const char* digits = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(pair, 0), &len);
        if (!digits) return nullptr;
        uint64_t id = 0;
        bool ok = len > 0 && len <= 10;
        for (Py_ssize_t k = 0; ok && k < len; ++k) {
            ok = digits[k] >= '0' && digits[k] <= '9';
            id = id * 10 + static_cast<uint64_t>(digits[k] - '0');
        }
        PyObject* item = new_tuple({id_text_of(texts, ok ? id : UINT64_MAX), Py_NewRef(PyTuple_GET_ITEM(pair, 1))});
        if (!item) return nullptr;
        PyList_SET_ITEM(out.get(), i, item);
    }
    return out.release();
}

}  // namespace brindlex::py

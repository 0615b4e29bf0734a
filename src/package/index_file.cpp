// Version 2 index files in the package's native module: written from a Lookup (the engine
// and its term tables), and opened in place, the engine and the Lookup then viewing the
// file's bytes (core/mapped), which they keep alive, mapped or read, for as long as
// either lives.
#include "package/index_file.hpp"

#include <memory>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/instance.hpp"
#include "binding/pyref.hpp"
#include "core/mapped/file_bytes.hpp"
#include "core/mapped/reader.hpp"
#include "core/mapped/writer.hpp"
#include "package/build.hpp"
#include "package/lookup.hpp"

namespace brindlex::py {
PyObject* write_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        LookupParts parts{};
        uint32_t mode = 0;
        uint64_t top_n = 0;
        if (!expect_args("write_index", nargs, 3) || !lookup_parts(args[0], parts)) return nullptr;
        if (!to_u32(args[1], mode) || mode > 2) return raise(PyExc_ValueError, "write_index(): text_mode must be 0, 1 or 2");
        if (!to_u64(args[2], top_n)) return raise(PyExc_ValueError, "write_index(): video_top_n must be in 0..2**64-1");
        // Planned first, then written straight into the bytes object: the file's memory
        // is filled once, not grown and copied.
        Result<mapped::IndexPlan> plan = internal_error("");
        Py_BEGIN_ALLOW_THREADS
        plan = mapped::plan_index(*parts.store, *parts.index, *parts.spellings, *parts.texts,
                                  {static_cast<uint8_t>(mode), top_n}, *parts.words);
        Py_END_ALLOW_THREADS
        if (!plan) Py_RETURN_NONE;
        if (plan->size() > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan->size())));
        if (!bytes) return nullptr;
        const std::span<std::byte> out(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get())), plan->size());
        Result<void> written = internal_error("");
        Py_BEGIN_ALLOW_THREADS
        written = plan->write(out);
        Py_END_ALLOW_THREADS
        if (!written) Py_RETURN_NONE;
        return bytes.release();
    });
}

PyObject* open_index(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (!expect_args("open_index", nargs, 5)) return nullptr;
        const int verify = PyObject_IsTrue(args[1]);
        const int map = PyObject_IsTrue(args[2]);
        if (verify < 0 || map < 0) return nullptr;

        Result<std::shared_ptr<const mapped::FileBytes>> held = internal_error("");
        if (PyLong_Check(args[0])) {
            const int fd = PyLong_AsInt(args[0]);
            if (fd == -1 && PyErr_Occurred()) return nullptr;
            Py_BEGIN_ALLOW_THREADS
            held = map ? mapped::FileBytes::map(fd) : mapped::FileBytes::read(fd);
            Py_END_ALLOW_THREADS
        } else {
            Py_buffer view;
            if (PyObject_GetBuffer(args[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
            held = mapped::FileBytes::copy({static_cast<const std::byte*>(view.buf), static_cast<size_t>(view.len)});
            PyBuffer_Release(&view);
        }
        if (!held) return raise(PyExc_ValueError, held.error().message);

        const std::shared_ptr<const mapped::FileBytes>& bytes = *held;
        Result<mapped::Opened> opened = internal_error("");
        Py_BEGIN_ALLOW_THREADS
        opened = mapped::read_index(bytes->bytes(), bytes, verify != 0);
        Py_END_ALLOW_THREADS
        if (!opened) return raise(PyExc_ValueError, opened.error().message);

        Ref engine = Ref::steal(new_engine(std::move(opened->store)));
        if (!engine) return nullptr;
        Ref lookup = Ref::steal(new_lookup(engine.get(), args[3], args[4], std::move(opened->index),
                                           std::move(opened->spellings), std::move(opened->texts),
                                           std::move(opened->words)));
        if (!lookup) return nullptr;
        const mapped::FileInfo info = opened->info;
        return Py_BuildValue("(OBKO)", lookup.get(), info.text_mode, static_cast<unsigned long long>(info.video_top_n),
                             bytes->is_mapped() ? Py_True : Py_False);
    });
}

}  // namespace brindlex::py

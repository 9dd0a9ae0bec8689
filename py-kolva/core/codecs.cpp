#include "codecs.hpp"

#include <optional>
#include <string>

#include "common/errors.hpp"
#include "jpeg_tools/extend.hpp"
#include "slide/media.hpp"

namespace kolva::core_module {
namespace {

PyObject* str_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace

PyObject* media_types(PyObject* /*module*/, PyObject* /*args*/) {
  return binding::guarded([&]() -> PyObject* {
    const auto rows = slide::media_types();
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(rows.size()));
    if (out == nullptr) return nullptr;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const slide::MediaType& m = rows[i];
      PyObject* row = Py_BuildValue(
          "(s#s#Os#s#)", m.type.data(), static_cast<Py_ssize_t>(m.type.size()),
          m.extension.data(), static_cast<Py_ssize_t>(m.extension.size()),
          m.displayable ? Py_True : Py_False, m.codec.data(),
          static_cast<Py_ssize_t>(m.codec.size()), m.transfer_syntax.data(),
          static_cast<Py_ssize_t>(m.transfer_syntax.size()));
      if (row == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), row);
    }
    return out;
  });
}

PyObject* media_extension(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return binding::guarded([&]() -> PyObject* {
    const char* type = nullptr;
    Py_ssize_t type_size = 0;
    Py_buffer head{};
    head.buf = nullptr;
    static const char* kwlist[] = {"media_type", "head", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#|y*:media_extension",
                                     const_cast<char**>(kwlist), &type, &type_size, &head)) {
      return nullptr;
    }
    const ByteSpan bytes = head.buf == nullptr
                               ? ByteSpan()
                               : ByteSpan(static_cast<const std::uint8_t*>(head.buf),
                                          static_cast<std::size_t>(head.len));
    PyObject* out = str_of(slide::media_extension(
        std::string_view(type, static_cast<std::size_t>(type_size)), bytes));
    if (head.buf != nullptr) PyBuffer_Release(&head);
    return out;
  });
}

PyObject* extend_jpeg(PyObject* /*module*/, PyObject* args) {
  return binding::guarded([&]() -> PyObject* {
    Py_buffer data{};
    unsigned int width = 0;
    unsigned int height = 0;
    if (!PyArg_ParseTuple(args, "y*II:extend_jpeg", &data, &width, &height)) return nullptr;
    std::optional<Result<Bytes, std::string>> extended;
    Py_BEGIN_ALLOW_THREADS
    extended = jpeg_tools::extend_jpeg(
        ByteSpan(static_cast<const std::uint8_t*>(data.buf), static_cast<std::size_t>(data.len)),
        width, height);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&data);
    if (!extended->ok()) {
      PyErr_SetString(PyExc_ValueError, extended->error().c_str());
      return nullptr;
    }
    const Bytes& out = extended->value();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(out.size()));
  });
}

}  // namespace kolva::core_module

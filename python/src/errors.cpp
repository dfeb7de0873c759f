// Error codes of the library as the errno and text a Python script expects.
#include "errors.h"

#include <zor/platform.h>

#include <cerrno>
#include <cstring>

namespace py = pybind11;

namespace zorpy {
namespace {

struct Known {
  unsigned long code;
  int err;
  const char* text;
};

// The codes an open reports; anything else is an I/O error by its number.
constexpr Known kKnown[] = {
    {zor::ERROR_INVALID_FUNCTION, EOPNOTSUPP, "the device does not offer this"},
    {zor::ERROR_FILE_NOT_FOUND, ENOENT, "no such device or file"},
    {zor::ERROR_PATH_NOT_FOUND, ENOENT, "no such path"},
    {zor::ERROR_TOO_MANY_OPEN_FILES, EMFILE, "too many open files"},
    {zor::ERROR_ACCESS_DENIED, EACCES, "permission denied"},
    {zor::ERROR_INVALID_HANDLE, EBADF, "the device is not open"},
    {zor::ERROR_NOT_ENOUGH_MEMORY, ENOMEM, "out of memory"},
    {zor::ERROR_NOT_READY, EAGAIN, "the device is not ready"},
    {zor::ERROR_GEN_FAILURE, EIO, "the line failed"},
    {zor::ERROR_SHARING_VIOLATION, EBUSY, "another program holds the device"},
    {zor::ERROR_NOT_SUPPORTED, EOPNOTSUPP, "not supported by this device"},
    {zor::ERROR_BAD_NETPATH, EHOSTUNREACH, "the host is another computer: pipes reach this one only"},
    {zor::ERROR_INVALID_PARAMETER, EINVAL, "invalid parameter (a ring size out of range?)"},
    {zor::ERROR_BROKEN_PIPE, EPIPE, "the peer has gone"},
    {zor::ERROR_INVALID_NAME, EINVAL, "not a valid name"},
    {zor::ERROR_BUSY, EBUSY, "the device is busy"},
    {zor::ERROR_PIPE_BUSY, EBUSY, "the server already serves a client"},
    {zor::ERROR_NO_DATA, EPIPE, "the pipe is being closed"},
    {zor::ERROR_SEM_TIMEOUT, ETIMEDOUT, "timed out"},
    {zor::ERROR_TIMEOUT, ETIMEDOUT, "timed out"},
    {zor::ERROR_OPERATION_ABORTED, ECANCELED, "the operation was cancelled"},
    {zor::ERROR_DEVICE_NOT_CONNECTED, ENODEV, "the device is not connected"},
    {zor::WSAECONNREFUSED, ECONNREFUSED, "connection refused: no server listens there"},
    {zor::WSAETIMEDOUT, ETIMEDOUT, "the connection timed out"},
    {zor::WSAECONNRESET, ECONNRESET, "the connection was reset"},
    {zor::WSAEHOSTUNREACH, EHOSTUNREACH, "the host cannot be reached"},
    {zor::WSAENETUNREACH, ENETUNREACH, "the network cannot be reached"},
    {zor::WSAEADDRINUSE, EADDRINUSE, "the address is in use"},
    {zor::WSAHOST_NOT_FOUND, ENOENT, "no such host"},
};

const Known* find(unsigned long code) {
  for (const Known& k : kKnown)
    if (k.code == code) return &k;
  return nullptr;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

std::string errorText(unsigned long code) {
  if (const Known* k = find(code)) return k->text;
  return "I/O error";
}

void raiseOsError(unsigned long code, const std::string& what, const std::string& filename) {
  const Known* k = find(code);
  const int err = k != nullptr ? k->err : EIO;
  const std::string text = what + ": " + errorText(code) + " (zor error " + std::to_string(code) + ")";
  py::object exc =
      filename.empty()
          ? py::reinterpret_steal<py::object>(PyObject_CallFunction(PyExc_OSError, "is", err, text.c_str()))
          : py::reinterpret_steal<py::object>(
                PyObject_CallFunction(PyExc_OSError, "iss", err, text.c_str(), filename.c_str()));
  if (!exc) throw py::error_already_set();
  exc.attr("zor_error") = code;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

}  // namespace zorpy

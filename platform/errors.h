#pragma once
// The failure kinds of the module. Everything that goes wrong is one of these
// exceptions; the 7-Zip adapters map each kind onto an HRESULT, and the
// exports swallow them all before they could reach the host.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace quillet {

// The general failure: a message and nothing else.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A failed operating-system call, with the platform's error code.
class EOSError : public Exception {
 public:
  EOSError(uint32_t code, const std::string& message) : Exception(message), ErrorCode(code) {}
  uint32_t ErrorCode;
};

// A failed COM-style call, with its HRESULT.
class EOleSysError : public Exception {
 public:
  EOleSysError(int32_t hresult, const std::string& message) : Exception(message), ErrorCode(hresult) {}
  int32_t ErrorCode;
};

class EAbort : public Exception {
 public:
  using Exception::Exception;
};
class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};
class EArgumentException : public Exception {
 public:
  using Exception::Exception;
};
class EInvalidPointer : public Exception {
 public:
  using Exception::Exception;
};
class EListError : public Exception {
 public:
  using Exception::Exception;
};
class EBitmapException : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace quillet

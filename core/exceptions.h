// The failure hierarchy shared by every module.
//
// Every failure is an object of a named class derived from `Exception`: it
// knows its class name (the launcher's top-level report prints it) and
// carries a message text. Throwing goes through the [[noreturn]] helpers at
// the bottom of this header and of archive/dozirivovaze.h, so hot loops stay
// small and the raise address (the code address just after the call of the
// helper) is recorded for the report.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace kv {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  // Name of the most derived class, as the report prints it.
  virtual const char* ClassName() const noexcept { return "Exception"; }
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // Code address at which the failure was raised; null when unknown.
  const void* RaiseAddress() const noexcept { return raise_address_; }
  void SetRaiseAddress(const void* address) noexcept { raise_address_ = address; }

 private:
  std::string message_;
  const void* raise_address_ = nullptr;
};

// Declares `Name`, derived from `Base`, that reports `Name` as its class name.
#define KV_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                          \
   public:                                                            \
    using Base::Base;                                                 \
    const char* ClassName() const noexcept override { return #Name; } \
  }

KV_DECLARE_EXCEPTION(EStreamError, Exception);
KV_DECLARE_EXCEPTION(EReadError, EStreamError);
KV_DECLARE_EXCEPTION(EWriteError, EStreamError);
KV_DECLARE_EXCEPTION(EFOpenError, EStreamError);
KV_DECLARE_EXCEPTION(EFCreateError, EStreamError);
KV_DECLARE_EXCEPTION(EOutOfMemory, Exception);

// Throws `e` with the caller's return address as its raise address.
// Must be called from a [[noreturn]] helper that is itself not inlined.
#define KV_RAISE(e)                                          \
  do {                                                       \
    auto kv_raised_ = (e);                                   \
    kv_raised_.SetRaiseAddress(__builtin_return_address(0)); \
    throw kv_raised_;                                        \
  } while (0)

[[noreturn]] void RaiseReadError();                         // "Stream read error"
[[noreturn]] void RaiseWriteError();                        // "Stream write error"
[[noreturn]] void RaiseOpenError(std::string_view name);    // "Cannot open file %s"
[[noreturn]] void RaiseCreateError(std::string_view name);  // "Cannot create file %s"

}  // namespace kv

// One way to capture a failure: the class name and message of what a call
// raises, compared whole with EXPECT_EQ.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace kv::test {

// The class name and message of what `f` raises; both empty when it returns.
// The system's exceptions give their own class name; the builder's
// refusals (tools::BuilderError) give "BuilderError". Anything else passes
// through.
struct Failure {
  std::string class_name;
  std::string message;
  bool operator==(const Failure&) const = default;
};
Failure FailureOf(const std::function<void()>& f);

// Some failures every suite meets.
inline const Failure kNoFailure{};
inline const Failure kReadError{"EReadError", "Stream read error"};
inline const Failure kWriteError{"EWriteError", "Stream write error"};
inline const Failure kBadChecksum{"EBadChecksum",
                                  "Bad checksum during expansion -- data may be invalid"};
inline const Failure kBadTable{"ELZHBadDecodeTable", "Bad decode table in archive!"};
inline const Failure kInvalidHeader{"EInvalidHeader", "Can't recognize compressed file header"};

// Prints "Class: message", or "no failure"; GoogleTest uses it in reports.
std::ostream& operator<<(std::ostream& out, const Failure& f);

}  // namespace kv::test

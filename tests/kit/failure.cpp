#include "tests/kit/failure.h"

#include <ostream>

#include "core/exceptions.h"
#include "tools/archive_writer.h"

namespace kv::test {

Failure FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return {e.ClassName(), e.Message()};
  } catch (const tools::BuilderError& e) {
    return {"BuilderError", e.what()};
  }
  return {};
}

std::ostream& operator<<(std::ostream& out, const Failure& f) {
  if (f == Failure{}) return out << "no failure";
  return out << f.class_name << ": " << f.message;
}

}  // namespace kv::test

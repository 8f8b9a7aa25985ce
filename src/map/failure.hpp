#pragma once

#include <stdexcept>

namespace brindle {

// An internal invariant of a table did not hold.  The message is one of a
// fixed set of texts that the Python layer passes on unchanged.
class InvariantFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail_capacity_overflow() { throw InvariantFailure("capacity overflow"); }

}  // namespace brindle

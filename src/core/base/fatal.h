// Broken internal invariants and failed system calls that cannot be
// recovered from (for example the entropy source) stop the current call with
// a FatalError. The Python layer turns it into PanicException; it is never an
// ordinary input error.
#pragma once

#include <stdexcept>
#include <string>

namespace tessarine {

class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fatal(const std::string& message);

// Fills `out` with `size` bytes from the operating system's entropy source,
// in requests of at most 256 bytes (the getentropy limit). A failure is fatal,
// with `what` naming the purpose in the message.
void fill_random_bytes(void* out, std::size_t size, const char* what);

}  // namespace tessarine

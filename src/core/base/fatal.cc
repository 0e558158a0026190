#include "core/base/fatal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tessarine {

void fatal(const std::string& message) { throw FatalError(message); }

void fill_random_bytes(void* out, std::size_t size, const char* what) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    const std::size_t chunk = std::min<std::size_t>(size, 256);
    if (getentropy(bytes, chunk) != 0) {
      fatal(std::string("could not retrieve random bytes for ") + what + ": " +
            std::strerror(errno));
    }
    bytes += chunk;
    size -= chunk;
  }
}

}  // namespace tessarine

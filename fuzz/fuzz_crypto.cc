// Key parsing and decryption. The first byte picks the path: even, the rest
// is key text (an accepted key must seal and open); odd, the rest is a sealed
// string opened under the fixed key.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/fatal.h"
#include "fuzz_support.h"

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    auto key = EncryptionKey::from_hex(text);
    if (!key.ok()) return 0;
    static const uint8_t kPlain[] = {'s', 'e', 'a', 'l', 'e', 'd'};
    auto opened = (*key)->decrypt((*key)->encrypt(kPlain));
    if (!opened.ok() || opened->size() != sizeof kPlain) fatal("sealed text did not open");
    return 0;
  }
  static const auto key = fuzzing::fuzz_key();
  (void)key->decrypt(rest);
  return 0;
}

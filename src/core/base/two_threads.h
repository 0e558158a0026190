// Two pieces of independent work run side by side.
#pragma once

#include <system_error>
#include <thread>

namespace tessarine {

// Runs `beside` on a second thread while `here` runs on the calling thread,
// and returns once both have finished. When no thread can be started, both
// run here, `beside` first: the results are the same either way. Neither may
// throw (core work reports failures as values).
template <typename Beside, typename Here>
void run_side_by_side(Beside&& beside, Here&& here) {
  std::thread helper;
  try {
    helper = std::thread([&beside] { beside(); });  // `beside` stays usable if this fails
  } catch (const std::system_error&) {
    beside();
    here();
    return;
  }
  here();
  helper.join();
}

}  // namespace tessarine

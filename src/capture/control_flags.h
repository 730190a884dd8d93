#pragma once
// What the host asks for through standard input, as the capture loop and the
// encoder thread see it.
#include <atomic>

namespace nimbra {

struct ControlFlags {
  std::atomic<bool> main_key_request{false};
  std::atomic<bool> low_enabled{false};
  std::atomic<bool> low_key_request{false};
};

}  // namespace nimbra

#include "sys/process.h"

namespace nimbra::platform {

void start_parent_watchdog(std::uint32_t) {}

}  // namespace nimbra::platform

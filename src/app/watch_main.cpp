#include "app/modes.h"

namespace nimbra {

int run_watch(const WatchRequest& request) {
  const auto w = request.size.width;
  const auto h = request.size.height;
  if (w < 2 || w > 1920 || h < 2 || h > 1080 || w % 2 != 0 || h % 2 != 0) return 1;
  return 1;  // no decoder in this build yet
}

}  // namespace nimbra

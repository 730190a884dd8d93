#include "app/modes.h"
#include "app/stdout_stream.h"
#include "platform/codecs.h"
#include "platform/process.h"
#include "watch/watch_session.h"

namespace nimbra {
namespace {

class StdinStream final : public InputStream {
 public:
  Result<std::size_t> read(MutableBytes buffer) override { return platform::read_stdin(buffer); }
};

}  // namespace

// Nothing goes to the error stream: the status is the whole report.
int run_watch(const WatchRequest& request) {
  StdinStream in;
  StdoutStream out;
  const Status status = run_watch_session(request, in, out, platform::open_h264_decoder);
  return status ? 0 : 1;
}

}  // namespace nimbra

#include <memory>

#include "app/modes.h"
#include "platform/codecs.h"
#include "sys/process.h"
#include "watch/watch_session.h"

namespace nimbra {
namespace {

class StdinStream final : public InputStream {
 public:
  Result<std::size_t> read(MutableBytes buffer) override { return platform::read_stdin(buffer); }
};

// Unbuffered: each record is written whole and is at once on its way.
class StdoutStream final : public OutputStream {
 public:
  Status write(ByteView bytes) override { return platform::write_stdout(bytes); }
};

}  // namespace

int run_watch(const WatchRequest& request) {
  StdinStream in;
  StdoutStream out;
  const Status status = run_watch_session(request, in, out, platform::open_h264_decoder);
  return status ? 0 : 1;
}

}  // namespace nimbra

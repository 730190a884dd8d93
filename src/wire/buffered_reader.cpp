#include "wire/buffered_reader.h"

#include <algorithm>
#include <cstring>

namespace nimbra {

BufferedReader::BufferedReader(InputStream& in) : in_(in), buffer_(kBufferSize) {}

Result<ReadOutcome> BufferedReader::read_exact(MutableBytes out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (begin_ == end_) {
      const std::size_t want = out.size() - done;
      // Large payloads go straight into their destination: one copy less.
      if (want >= buffer_.size()) {
        auto n = in_.read(out.subspan(done));
        if (!n) return fail(n.error());
        if (*n == 0) return done == 0 ? Result<ReadOutcome>(ReadOutcome::EndBeforeFirstByte) : fail(kTruncated);
        done += *n;
        continue;
      }
      auto n = in_.read(buffer_);
      if (!n) return fail(n.error());
      if (*n == 0) return done == 0 ? Result<ReadOutcome>(ReadOutcome::EndBeforeFirstByte) : fail(kTruncated);
      begin_ = 0;
      end_ = *n;
    }
    const std::size_t take = std::min(end_ - begin_, out.size() - done);
    std::memcpy(out.data() + done, buffer_.data() + begin_, take);
    begin_ += take;
    done += take;
  }
  return ReadOutcome::Complete;
}

}  // namespace nimbra

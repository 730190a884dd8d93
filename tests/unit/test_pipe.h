#pragma once
// An anonymous OS pipe for tests that feed a reader real file reads.
#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::testing {

class TestPipe {
 public:
  TestPipe() {
#ifdef _WIN32
    _pipe(fds_, 65536, _O_BINARY);
#else
    (void)::pipe(fds_);
#endif
  }
  ~TestPipe() {
    close_write();
    close_fd(fds_[0]);
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  Result<std::size_t> read(MutableBytes buffer) {
#ifdef _WIN32
    const int n = _read(fds_[0], buffer.data(), static_cast<unsigned>(buffer.size()));
#else
    const auto n = ::read(fds_[0], buffer.data(), buffer.size());
#endif
    if (n < 0) return fail("read failed");
    return static_cast<std::size_t>(n);
  }

  void write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
#ifdef _WIN32
      const int n = _write(fds_[1], bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
#else
      const auto n = ::write(fds_[1], bytes.data() + done, bytes.size() - done);
#endif
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  void close_write() { close_fd(fds_[1]); }

 private:
  static void close_fd(int& fd) {
    if (fd < 0) return;
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

}  // namespace nimbra::testing

#pragma once
// An anonymous OS pipe for tests that feed a reader real file reads.
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
#ifdef _WIN32
  TestPipe() { _pipe(fds_, 65536, _O_BINARY); }
  static int os_read(int fd, void* b, std::size_t n) { return _read(fd, b, static_cast<unsigned>(n)); }
  static int os_write(int fd, const void* b, std::size_t n) { return _write(fd, b, static_cast<unsigned>(n)); }
  static void os_close(int fd) { _close(fd); }
#else
  TestPipe() { (void)::pipe(fds_); }
  static ssize_t os_read(int fd, void* b, std::size_t n) { return ::read(fd, b, n); }
  static ssize_t os_write(int fd, const void* b, std::size_t n) { return ::write(fd, b, n); }
  static void os_close(int fd) { ::close(fd); }
#endif
  ~TestPipe() {
    close_write();
    os_close(fds_[0]);
  }
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  Result<std::size_t> read(MutableBytes buffer) {
    const auto n = os_read(fds_[0], buffer.data(), buffer.size());
    if (n < 0) return fail("read failed");
    return static_cast<std::size_t>(n);
  }
  void write(const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const auto n = os_write(fds_[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  void close_write() {
    if (fds_[1] >= 0) os_close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace nimbra::testing

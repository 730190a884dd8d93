#include "platform/linux/proc_process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "audio/app_scan.h"

namespace nimbra::platform {
namespace {

// Case mapping follows the character set of the locale, so it runs under
// C.UTF-8 whatever the process's own locale is.
class Utf8Locale {
 public:
  Utf8Locale() : previous_(uselocale(utf8())) {}
  ~Utf8Locale() { uselocale(previous_); }
  Utf8Locale(const Utf8Locale&) = delete;
  Utf8Locale& operator=(const Utf8Locale&) = delete;

 private:
  static locale_t utf8() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);  // kept for the process
    return locale != nullptr ? locale : LC_GLOBAL_LOCALE;
  }
  locale_t previous_;
};

// /proc/PID/stat fits in one page; plain reads keep a scan of every process cheap.
std::string read_stat(std::uint32_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[1024];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string executable_file_name(std::uint32_t pid, std::string_view comm) {
  char target[PATH_MAX];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0) return std::string(comm);  // other users' processes, kernel threads, zombies
  std::string_view path(target, static_cast<std::size_t>(n));
  if (path.ends_with(" (deleted)")) path.remove_suffix(10);
  return std::string(path.substr(path.rfind('/') + 1));
}

}  // namespace

std::string lower_case_utf8(std::string_view text) {
  const Utf8Locale utf8;
  std::string out;
  std::mbstate_t in_state{};
  while (!text.empty()) {
    wchar_t wide = 0;
    std::size_t used = std::mbrtowc(&wide, text.data(), text.size(), &in_state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      wide = L'\uFFFD';
      used = 1;
      in_state = {};
    } else if (used == 0) {
      used = 1;  // an embedded NUL stays one
    }
    char bytes[MB_LEN_MAX];
    std::mbstate_t out_state{};
    const std::size_t made = std::wcrtomb(bytes, static_cast<wchar_t>(std::towlower(static_cast<wint_t>(wide))), &out_state);
    if (made != static_cast<std::size_t>(-1)) out.append(bytes, made);
    text.remove_prefix(used);
  }
  return out;
}

std::optional<audio::ProcessEntry> read_proc_entry(std::uint32_t pid) {
  const std::string stat = read_stat(pid);
  const auto open = stat.find('(');
  const auto close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  // ") S 1234 ...": the state, then the parent pid.
  const auto parent_at = stat.find(' ', close + 2);
  if (parent_at == std::string::npos) return std::nullopt;
  std::uint32_t parent = 0;
  const char* first = stat.data() + parent_at + 1;
  if (std::from_chars(first, stat.data() + stat.size(), parent).ec != std::errc()) return std::nullopt;
  const std::string_view comm = std::string_view(stat).substr(open + 1, close - open - 1);
  return audio::ProcessEntry{audio::normalise_process_name(lower_case_utf8(executable_file_name(pid, comm))), parent};
}

audio::ProcessTable read_proc_process_table() {
  audio::ProcessTable table;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return table;
  while (const dirent* entry = ::readdir(proc)) {
    std::uint32_t pid = 0;
    const std::string_view name = entry->d_name;
    if (std::from_chars(name.data(), name.data() + name.size(), pid).ptr != name.data() + name.size() || pid == 0) {
      continue;
    }
    if (std::optional<audio::ProcessEntry> process = read_proc_entry(pid)) table[pid] = std::move(*process);
  }
  ::closedir(proc);
  return table;
}

}  // namespace nimbra::platform

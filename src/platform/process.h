#pragma once
// Process-level services that every platform provides. The portable core never
// calls these directly: the program wires them into the core's objects, and
// tests wire fakes in their place.
#include <cstdint>
#include <string>
#include <string_view>

#include "sys/bytes.h"
#include "sys/result.h"

namespace nimbra::platform {

// Binary standard streams; a host that closes its end of stdout must not kill us.
void prepare_std_streams();

// Before the first capture call: physical pixels on scaled displays, and
// sleeps as fine as the frame pacing needs.
void prepare_capture();

// Ends the process at once: no thread is joined, no static destructor runs.
[[noreturn]] void exit_process(int status);

// Blocking read from standard input; 0 means end of input.
Result<std::size_t> read_stdin(MutableBytes buffer);

// Writes all bytes to standard output, unbuffered.
Status write_stdout(ByteView bytes);

// Writes one diagnostic line (the line feed is added here).
void write_stderr_line(std::string_view line);

// Whether an environment variable is present, whatever its value.
bool env_present(const char* name);

// The platform's rendering of an error code: "{message} (0x{code:08X})", or
// "0x{code:08X}" when the system has no message for it.
std::string error_text(std::uint32_t code);

// Returns once the process has ended, or at once when it cannot be watched
// (already gone, or not openable).
void wait_for_process_end(std::uint32_t process_id);

}  // namespace nimbra::platform

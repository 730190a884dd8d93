#pragma once
// The JSON objects that open a capture session or report its encoders'
// failures: compact, keys in ascending order, always valid UTF-8.
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "wire/message_writer.h"

namespace nimbra {

inline constexpr std::string_view kCodec = "avc1.64002a";

// {"codec":…,"height":…,["low":{…},]"port":0,"width":…} for effective settings.
std::string handshake_json(const CaptureSettings& settings);

// {"error":text}; bytes of `text` that are not UTF-8 become U+FFFD.
std::string error_json(std::string_view text);
// {"low_err":text}: the low layer has given up.
std::string low_error_json(std::string_view text);
// {"audio":"ok"}: application audio is captured.
std::string audio_ok_json();
// {"audio_err":text}: application audio could not start.
std::string audio_error_json(std::string_view text);

void send_handshake(MessageWriter& writer, const CaptureSettings& settings);
void send_error(MessageWriter& writer, std::string_view text);

}  // namespace nimbra

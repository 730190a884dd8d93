#include "wire/handshake.h"

#include <nlohmann/json.hpp>

namespace nimbra {
namespace {

// nlohmann's default object is a std::map, which gives the sorted keys; the
// replacing error handler keeps a stray byte from throwing.
std::string dump(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void send_json(MessageWriter& writer, const std::string& text) {
  writer.write(MessageKind::Json,
               ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace

std::string handshake_json(const CaptureSettings& settings) {
  nlohmann::json object = {
      {"port", 0}, {"codec", kCodec}, {"width", settings.width}, {"height", settings.height}};
  if (settings.low) {
    object["low"] = {{"codec", kCodec}, {"width", settings.low->width}, {"height", settings.low->height}};
  }
  return dump(object);
}

std::string error_json(std::string_view text) { return dump({{"error", text}}); }

std::string low_error_json(std::string_view text) { return dump({{"low_err", text}}); }

std::string audio_ok_json() { return dump({{"audio", "ok"}}); }

std::string audio_error_json(std::string_view text) { return dump({{"audio_err", text}}); }

void send_handshake(MessageWriter& writer, const CaptureSettings& settings) {
  send_json(writer, handshake_json(settings));
}

void send_error(MessageWriter& writer, std::string_view text) { send_json(writer, error_json(text)); }

}  // namespace nimbra

#include "capture/status_json.h"

#include <nlohmann/json.hpp>
#include <string>

namespace nimbra {
namespace {

Bytes one_key_object(const char* key, std::string_view text) {
  nlohmann::json object = nlohmann::json::object();
  object[key] = std::string(text);
  const std::string s = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return Bytes(s.begin(), s.end());
}

}  // namespace

Bytes error_object(std::string_view text) { return one_key_object("error", text); }
Bytes low_error_object(std::string_view text) { return one_key_object("low_err", text); }

}  // namespace nimbra

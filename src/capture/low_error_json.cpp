#include "capture/low_error_json.h"

#include <nlohmann/json.hpp>

namespace nimbra {

std::string low_error_json(std::string_view text) {
  const nlohmann::json object = {{"low_err", text}};
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace nimbra

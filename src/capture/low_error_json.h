#pragma once
// {"low_err": text}: the low layer's one report that it has given up, in the
// same compact, sorted, never-throwing form as the other status objects.
#include <string>
#include <string_view>

namespace nimbra {

std::string low_error_json(std::string_view text);

}  // namespace nimbra

#pragma once
// The one-key JSON objects that report a failure to the host: {"error": T}
// and {"low_err": T}. Compact, sorted keys; invalid UTF-8 in a platform's
// error text is replaced, never thrown over.
#include <string_view>

#include "sys/bytes.h"

namespace nimbra {

Bytes error_object(std::string_view text);
Bytes low_error_object(std::string_view text);

}  // namespace nimbra

#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// UTF-16 to UTF-8; nothing when the text holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8(std::u16string_view text);

}  // namespace nimbra

#pragma once
// The strict number syntax of command-line values: no blanks, no signs other
// than the ones allowed, nothing after the digits, no silent wrap-around.
#include <cstdint>
#include <optional>
#include <string_view>

namespace nimbra {

// An optional single "+", then one or more ASCII digits; must fit in 32 bits.
std::optional<std::uint32_t> parse_unsigned32(std::string_view text);

// An optional "+" or "-", then one or more ASCII digits; must fit in 64 bits.
std::optional<std::int64_t> parse_signed64(std::string_view text);

// The text without Unicode white space (UTF-8) at either end.
std::string_view trim_white_space(std::string_view text);

}  // namespace nimbra

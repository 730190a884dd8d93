#include "cli/number_syntax.h"

#include <array>
#include <limits>

namespace nimbra {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits only, accumulated with an overflow check against `limit`.
std::optional<std::uint64_t> parse_digits(std::string_view digits, std::uint64_t limit) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (!is_digit(c)) return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (value > (limit - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

// The UTF-8 encodings of the White_Space characters.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

}  // namespace

std::optional<std::uint32_t> parse_unsigned32(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  const auto value = parse_digits(text, std::numeric_limits<std::uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::int64_t> parse_signed64(std::string_view text) {
  bool negative = false;
  if (text.starts_with('+') || text.starts_with('-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const auto magnitude = parse_digits(text, negative ? max + 1 : max);
  if (!magnitude) return std::nullopt;
  if (!negative) return static_cast<std::int64_t>(*magnitude);
  if (*magnitude == max + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(*magnitude);
}

std::string_view trim_white_space(std::string_view text) {
  for (bool trimmed = true; trimmed && !text.empty();) {
    trimmed = false;
    for (const auto ws : kWhiteSpace) {
      if (text.starts_with(ws)) {
        text.remove_prefix(ws.size());
        trimmed = true;
      }
      if (text.ends_with(ws)) {
        text.remove_suffix(ws.size());
        trimmed = true;
      }
    }
  }
  return text;
}

}  // namespace nimbra

#pragma once
// Failures are values: an operation returns its result or an error text.
#include <expected>
#include <string>
#include <utility>

namespace nimbra {

template <class T>
using Result = std::expected<T, std::string>;
using Status = std::expected<void, std::string>;

inline std::unexpected<std::string> fail(std::string text) {
  return std::unexpected<std::string>(std::move(text));
}

}  // namespace nimbra

#include "capture/source_fallback.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

TEST(SourceFallback, TriesThePreferredBackendThenTheFallbackWithItsLines) {
  using Lines = std::vector<std::string>;
  // texts, the two backends' errors, the lines.
  const std::tuple<const FallbackLines&, std::string, std::string, Lines> cases[] = {
      {kScreenFallback, "", "", {}},
      {kScreenFallback, "E1", "E2", {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"}},
      {kWindowFallback, "W1", "", {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"}},
      {kWindowFallback, "W1", "окно не существует",
       {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"}},
  };
  for (const auto& [texts, preferred_error, fallback_error, want] : cases) {
    std::string tried;
    auto opener = [&](char id, std::string error) -> SourceOpener {
      return [&, id, error]() -> Result<std::unique_ptr<CaptureSource>> {
        tried += id;
        if (!error.empty()) return fail(error);
        return std::unique_ptr<CaptureSource>();  // never looked into
      };
    };
    Lines lines;
    auto source = open_with_fallback(opener('1', preferred_error), opener('2', fallback_error), texts,
                                     [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, want);
    EXPECT_EQ(tried, preferred_error.empty() ? "1" : "12");
    EXPECT_EQ(source ? std::string() : source.error(), fallback_error) << preferred_error;
  }
}

}  // namespace
}  // namespace nimbra

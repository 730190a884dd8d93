#include "capture/source_fallback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nimbra {
namespace {

class Opened final : public CaptureSource {
 public:
  explicit Opened(int number) : id(number) {}
  bool waits_for_change() const override { return false; }
  Result<std::optional<BgraFrame>> grab(std::uint32_t) override { return std::nullopt; }
  int id;
};

TEST(SourceFallback, TriesThePreferredBackendThenTheFallbackWithItsLines) {
  using Lines = std::vector<std::string>;
  // texts, the two backends' errors, which one opened (0: none), the lines.
  const std::tuple<const FallbackLines&, std::string, std::string, int, Lines> cases[] = {
      {kScreenFallback, "", "", 1, {}},
      {kScreenFallback, "E1 (0x80004001)", "", 2, {"[capture] дубликация недоступна (E1 (0x80004001)) — GDI-фолбэк"}},
      {kScreenFallback, "E1", "E2", 0, {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"}},
      {kWindowFallback, "W1", "", 2, {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"}},
      {kWindowFallback, "W1", "окно не существует", 0,
       {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"}},
  };
  auto opener = [](int id, std::string error) -> SourceOpener {
    return [=]() -> Result<std::unique_ptr<CaptureSource>> {
      return error.empty() ? Result<std::unique_ptr<CaptureSource>>(std::make_unique<Opened>(id)) : fail(error);
    };
  };
  for (const auto& [texts, preferred_error, fallback_error, opened, want] : cases) {
    Lines lines;
    auto source = open_with_fallback(opener(1, preferred_error), opener(2, fallback_error), texts,
                                     [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, want);
    EXPECT_EQ(source ? static_cast<Opened&>(**source).id : 0, opened) << preferred_error;
    if (!source) {
      EXPECT_EQ(source.error(), fallback_error);
    }
  }
}

}  // namespace
}  // namespace nimbra

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
  struct Case {
    const FallbackLines& texts;
    const char *preferred_error, *fallback_error;
    int opened;  // 0: none
    Lines lines;
  };
  const Case cases[] = {
      {kScreenFallback, "", "", 1, {}},
      {kScreenFallback, "E1 (0x80004001)", "", 2, {"[capture] дубликация недоступна (E1 (0x80004001)) — GDI-фолбэк"}},
      {kScreenFallback, "E1", "E2", 0, {"[capture] дубликация недоступна (E1) — GDI-фолбэк", "[capture] GDI тоже: E2"}},
      {kWindowFallback, "W1", "", 2, {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк"}},
      {kWindowFallback, "W1", "окно не существует", 0,
       {"[capture] WGC недоступен (W1) — PrintWindow-фолбэк", "[capture] окно: окно не существует"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.preferred_error);
    Lines lines;
    auto opener = [](int id, std::string error) -> SourceOpener {
      return [=]() -> Result<std::unique_ptr<CaptureSource>> {
        if (!error.empty()) return fail(error);
        return std::make_unique<Opened>(id);
      };
    };
    Result<std::unique_ptr<CaptureSource>> source =
        open_with_fallback(opener(1, c.preferred_error), opener(2, c.fallback_error), c.texts,
                           [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, c.lines);
    if (c.opened == 0) {
      EXPECT_EQ(source.error(), c.fallback_error);
    } else {
      ASSERT_TRUE(source);
      EXPECT_EQ(static_cast<Opened&>(**source).id, c.opened);
    }
  }
}

}  // namespace
}  // namespace nimbra

#pragma once
// Opening a source with its fallback: the preferred backend first and, when
// it cannot be opened, the second one, with the line that says why. The
// backend chosen here stays for the whole session.
#include <string_view>

#include "capture/capture_source.h"
#include "capture/diagnostics.h"

namespace nimbra {

struct FallbackLines {
  std::string_view preferred_failed_before;  // then the preferred backend's error,
  std::string_view preferred_failed_after;   // then this
  std::string_view both_failed;              // then the fallback's error
};

inline constexpr FallbackLines kScreenFallback{"[capture] дубликация недоступна (", ") — GDI-фолбэк",
                                               "[capture] GDI тоже: "};
inline constexpr FallbackLines kWindowFallback{"[capture] WGC недоступен (", ") — PrintWindow-фолбэк",
                                               "[capture] окно: "};

// The opened source, or the fallback's error once both lines are written.
Result<std::unique_ptr<CaptureSource>> open_with_fallback(const SourceOpener& preferred, const SourceOpener& fallback,
                                                          const FallbackLines& lines,
                                                          const DiagnosticSink& diagnostic);

}  // namespace nimbra

#include "capture/source_fallback.h"

#include <string>

namespace nimbra {

Result<std::unique_ptr<CaptureSource>> open_with_fallback(const SourceOpener& preferred, const SourceOpener& fallback,
                                                          const FallbackLines& lines,
                                                          const DiagnosticSink& diagnostic) {
  Result<std::unique_ptr<CaptureSource>> source = preferred();
  if (source) return source;
  diagnostic(std::string(lines.preferred_failed_before) + source.error() + std::string(lines.preferred_failed_after));
  source = fallback();
  if (!source) diagnostic(std::string(lines.both_failed) + source.error());
  return source;
}

}  // namespace nimbra

#pragma once
// Where the capture code writes its diagnostic lines (standard error in the
// program, a list in tests). The line feed is added by the sink.
#include <functional>
#include <string_view>

namespace nimbra {

using DiagnosticSink = std::function<void(std::string_view line)>;

}  // namespace nimbra

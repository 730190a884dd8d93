#include "capture/encoder_keeper.h"

#include <string>
#include <utility>

namespace nimbra {

EncoderKeeper::EncoderKeeper(EncoderFactory create, const EncoderSettings& settings, Clock& clock,
                             DiagnosticSink diagnostic)
    : create_(std::move(create)), settings_(settings), clock_(clock), diagnostic_(std::move(diagnostic)) {}

Status EncoderKeeper::start() {
  Result<std::unique_ptr<H264Encoder>> created = create_(settings_);
  if (!created) return fail(created.error());
  encoder_ = std::move(*created);
  return {};
}

Result<bool> EncoderKeeper::prepare_key_frame() {
  if (encoder_->force_key_supported()) return true;
  const Instant now = clock_.now();
  if (last_key_rebuild_ && now - *last_key_rebuild_ < kKeyRebuildSpacing) return false;
  if (Status made = start(); !made) return fail(made.error());
  last_key_rebuild_ = clock_.now();
  return true;
}

std::expected<Chunks, EncoderKeeper::Failure> EncoderKeeper::encode(ByteView picture, bool nv12, bool force_key,
                                                                   RowSpan changed) {
  Result<Chunks> chunks = nv12 ? encoder_->encode_nv12(picture, force_key)
                               : encoder_->encode_bgra(picture, settings_.width, settings_.height, force_key, changed);
  if (chunks) return std::move(*chunks);

  diagnostic_("[capture] encode: " + chunks.error());
  const Instant now = clock_.now();
  std::erase_if(failures_, [&](Instant t) { return now - t >= kFailureWindow; });
  if (failures_.size() >= kFailureBudget) return std::unexpected(Failure::gave_up);
  failures_.push_back(now);
  if (Status made = start(); !made) {
    diagnostic_("[capture] энкодер не пересоздан: " + made.error());
    return std::unexpected(Failure::gave_up);
  }
  return std::unexpected(Failure::replaced);
}

}  // namespace nimbra

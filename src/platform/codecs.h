#pragma once
// This platform's H.264 encoder and decoder (Media Foundation on Windows,
// libx264 and libavcodec on Linux).
#include <memory>
#include <vector>

#include "codec/h264_decoder.h"
#include "codec/h264_encoder.h"

namespace nimbra::platform {

Result<std::unique_ptr<H264Encoder>> create_h264_encoder(const EncoderSettings& settings);
Result<std::unique_ptr<H264Decoder>> open_h264_decoder(const std::vector<Size>& sizes);

}  // namespace nimbra::platform

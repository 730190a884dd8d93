// Encodes a raw NV12 file with the helper's own encoder settings, so that its
// quality and CPU can be set beside another encoder's on the very same pictures.
//   encode_nv12_file IN.nv12 WIDTH HEIGHT FPS BITRATE OUT.h264
// Prints the pictures encoded; the caller measures the process's CPU, as it does ffmpeg's.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "platform/codecs.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: encode_nv12_file IN.nv12 WIDTH HEIGHT FPS BITRATE OUT.h264\n";
    return 2;
  }
  const auto number = [&](int i) { return static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 10)); };
  const nimbra::EncoderSettings settings{number(2), number(3), number(4), number(5)};
  auto encoder = nimbra::platform::create_h264_encoder(settings);
  if (!encoder) {
    std::cerr << encoder.error() << "\n";
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::ofstream out(argv[6], std::ios::binary);
  nimbra::Bytes picture(std::size_t{settings.width} * settings.height * 3 / 2);
  int pictures = 0;
  while (in.read(reinterpret_cast<char*>(picture.data()), static_cast<std::streamsize>(picture.size()))) {
    auto chunks = (*encoder)->encode_nv12(picture, false);
    if (!chunks) {
      std::cerr << chunks.error() << "\n";
      return 1;
    }
    for (const auto& chunk : *chunks) {
      out.write(reinterpret_cast<const char*>(chunk.data.data()), static_cast<std::streamsize>(chunk.data.size()));
    }
    ++pictures;
  }
  std::printf("%d\n", pictures);
  return 0;
}

#include "capture/preview_writer.h"

#include <thread>
#include <utility>

#include "pixels/preview.h"

namespace nimbra {

void run_preview_writer(Receiver<Bytes> images, MessageWriter& writer) {
  while (std::optional<Bytes> image = images.receive()) writer.write(MessageKind::Preview, *image);
}

PreviewSender start_preview_writer(MessageWriter& writer) {
  Channel<Bytes> channel = make_channel<Bytes>(1);
  std::thread(run_preview_writer, std::move(channel.receiver), std::ref(writer)).detach();
  return std::move(channel.sender);
}

PreviewPacer::PreviewPacer(PreviewSender sender, Clock& clock)
    : sender_(std::move(sender)), clock_(clock), last_(clock.now() - 1s) {}

void PreviewPacer::offer(ByteView frame, Size size, bool nv12) {
  if (!sender_ || clock_.now() - last_ < kPeriod) return;
  Bytes preview(kPreviewBytes);
  if (nv12) {
    preview_from_nv12(frame, size.width, size.height, preview);
  } else {
    preview_from_bgra(frame, size.width, size.height, preview);
  }
  (void)sender_.try_send(std::move(preview));
  last_ = clock_.now();
}

}  // namespace nimbra

#include "capture/preview_writer.h"

#include <thread>
#include <utility>

namespace nimbra {

void run_preview_writer(Receiver<Bytes> images, MessageWriter& writer) {
  while (std::optional<Bytes> image = images.receive()) writer.write(MessageKind::Preview, *image);
}

PreviewSender start_preview_writer(MessageWriter& writer) {
  Channel<Bytes> channel = make_channel<Bytes>(1);
  std::thread(run_preview_writer, std::move(channel.receiver), std::ref(writer)).detach();
  return std::move(channel.sender);
}

void offer_preview(PreviewSender& sender, Bytes image) { (void)sender.try_send(image); }

}  // namespace nimbra

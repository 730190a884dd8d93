#pragma once
// The host's previews: the capture loop makes one at most every 500 ms from
// the frame it is about to encode, and a thread of their own writes them, so
// the loop never waits for the 921,600 bytes of an image to leave.
#include "sys/bytes.h"
#include "sys/channel.h"
#include "sys/clock.h"
#include "wire/message_writer.h"

namespace nimbra {

using PreviewSender = Sender<Bytes>;

// Writes one kind-7 message per image until every sender is gone.
void run_preview_writer(Receiver<Bytes> images, MessageWriter& writer);

// Starts run_preview_writer on a detached thread behind a channel of one image.
PreviewSender start_preview_writer(MessageWriter& writer);

class PreviewPacer {
 public:
  static constexpr Duration kPeriod = 500ms;

  // An empty sender makes no previews.
  PreviewPacer(PreviewSender sender, Clock& clock);

  // Makes a preview of the frame (NV12 or BGRA of `size`) when one is due and
  // hands it over without waiting; one that does not fit is dropped.
  void offer(ByteView frame, Size size, bool nv12);

 private:
  PreviewSender sender_;
  Clock& clock_;
  Instant last_;
};

}  // namespace nimbra

#pragma once
// Writes preview images to the host on a thread of its own, so the capture
// loop never waits for the 921,600 bytes of an image to leave.
#include "sys/bytes.h"
#include "sys/channel.h"
#include "wire/message_writer.h"

namespace nimbra {

using PreviewSender = Sender<Bytes>;

// Writes one kind-7 message per image until every sender is gone.
void run_preview_writer(Receiver<Bytes> images, MessageWriter& writer);

// Starts run_preview_writer on a detached thread behind a channel of one image.
PreviewSender start_preview_writer(MessageWriter& writer);

// Hands an image over without waiting; an image that does not fit is dropped.
void offer_preview(PreviewSender& sender, Bytes image);

}  // namespace nimbra

// The low layer's encoder, one event at a time, and its thread around it.
#include "capture/encoder_thread.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_encoder.h"
#include "fakes/memory_output.h"
#include "pixels/bgra_to_nv12.h"
#include "pixels/box_downscale.h"

namespace nimbra {
namespace {

using testing::EncoderLog;
using testing::MemoryOutput;
using testing::parse_messages;

struct LowRig {
  MemoryOutput out;
  MessageWriter writer{out};
  ControlFlags flags;
  EncoderLog encoders;
  std::vector<std::string> lines;
  LowSettings settings{16, 8, 15, 100'000};
  std::unique_ptr<LowEncoder> low;

  LowRig() { make(); }
  void make() {
    low = std::make_unique<LowEncoder>(settings, flags, writer, testing::fake_encoder_factory(encoders),
                                       [this](std::string_view line) { lines.emplace_back(line); });
  }
  LowFrame nv12(bool key = false, std::uint8_t fill = 50) {
    return {Bytes(16 * 8 * 3 / 2, fill), 16, 8, key};
  }
  std::vector<std::uint8_t> kinds() const {
    std::vector<std::uint8_t> k;
    for (const auto& m : parse_messages(out.data())) k.push_back(m.kind);
    return k;
  }
};

TEST(LowEncoder, ReturnsFramesUnencodedWhileTheLayerIsOff) {
  LowRig rig;
  const Bytes back = rig.low->on_frame(rig.nv12(true, 7));
  EXPECT_EQ(back, Bytes(16 * 8 * 3 / 2, 7));
  rig.low->on_timeout();
  EXPECT_EQ(rig.encoders.create_attempts, 0);
  EXPECT_TRUE(rig.out.data().empty());
}

TEST(LowEncoder, WritesKeyChunksAsKind5AndOthersAsKind6) {
  LowRig rig;
  rig.flags.low_enabled = true;
  for (int i = 0; i < 3; ++i) (void)rig.low->on_frame(rig.nv12());
  EXPECT_EQ(rig.kinds(), (std::vector<std::uint8_t>{5, 6, 6}));
  EXPECT_EQ(rig.encoders.created, 1);
  EXPECT_EQ(rig.encoders.encodes[0].digest, frame_digest(Bytes(16 * 8 * 3 / 2, 50)));
}

TEST(LowEncoder, KeyRequestsForceOrRecreate) {
  for (bool forceable : {true, false}) {
    SCOPED_TRACE(forceable);
    LowRig rig;
    rig.encoders.force_key_supported = forceable;
    rig.flags.low_enabled = true;
    (void)rig.low->on_frame(rig.nv12(true));  // the first encoder's first chunk is the key anyway
    EXPECT_FALSE(rig.encoders.encodes[0].force_key);
    (void)rig.low->on_frame(rig.nv12());
    (void)rig.low->on_frame(rig.nv12(true));
    EXPECT_EQ(rig.encoders.created, forceable ? 1 : 2);
    EXPECT_EQ(rig.encoders.encodes[2].force_key, forceable);
    EXPECT_EQ(rig.kinds(), (std::vector<std::uint8_t>{5, 6, 5}));
  }
}

TEST(LowEncoder, LetsTheEncoderGoWhenTheLayerIsSwitchedOff) {
  LowRig rig;
  rig.flags.low_enabled = true;
  (void)rig.low->on_frame(rig.nv12());
  rig.low->on_timeout();
  EXPECT_TRUE(rig.low->has_encoder());
  rig.flags.low_enabled = false;
  rig.low->on_timeout();
  EXPECT_FALSE(rig.low->has_encoder());
  rig.flags.low_enabled = true;  // command 11 again: a new encoder, a key frame first
  (void)rig.low->on_frame(rig.nv12());
  EXPECT_EQ(rig.encoders.created, 2);
  EXPECT_EQ(rig.kinds(), (std::vector<std::uint8_t>{5, 5}));
  rig.flags.low_enabled = false;  // a frame while off also lets it go
  (void)rig.low->on_frame(rig.nv12());
  EXPECT_FALSE(rig.low->has_encoder());
}

TEST(LowEncoder, FiveCreationFailuresWriteOneLowErrorAndStopTheLayer) {
  LowRig rig;
  rig.flags.low_enabled = true;
  rig.encoders.create_error = [](int) { return std::string("MFTEnumEx: \xFF\"bad\""); };
  for (int i = 0; i < 8; ++i) (void)rig.low->on_frame(rig.nv12());
  EXPECT_EQ(rig.encoders.create_attempts, 5);
  EXPECT_EQ(rig.lines, std::vector<std::string>(5, "[capture] облегчённый энкодер: MFTEnumEx: \xFF\"bad\""));
  const auto messages = parse_messages(rig.out.data());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, 1);
  // Invalid UTF-8 in a platform text is replaced, never thrown over.
  EXPECT_EQ(messages[0].text(), "{\"low_err\":\"MFTEnumEx: \xEF\xBF\xBD\\\"bad\\\"\"}");
}

TEST(LowEncoder, ASuccessResetsTheFailureCountAndEncodeFailuresWriteNoObject) {
  LowRig rig;
  rig.flags.low_enabled = true;
  // Encodes 0..3 fail, 4 succeeds, 5..9 fail: the layer stops after the tenth call.
  rig.encoders.encode_error = [](std::size_t i) { return i == 4 ? "" : "ProcessInput: x"; };
  for (int i = 0; i < 14; ++i) (void)rig.low->on_frame(rig.nv12());
  EXPECT_EQ(rig.encoders.encode_calls, 10u);
  EXPECT_EQ(rig.encoders.create_attempts, 9);  // the fifth encoder survived its success
  EXPECT_EQ(std::count(rig.lines.begin(), rig.lines.end(), "[capture] облегчённый encode: ProcessInput: x"), 9);
  EXPECT_EQ(rig.kinds(), std::vector<std::uint8_t>{5});
}

TEST(LowEncoder, BgraFramesAreBoxScaledAndOthersRepeatThePreviousPicture) {
  LowRig rig;
  rig.flags.low_enabled = true;
  Bytes big(48 * 24 * 4);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  (void)rig.low->on_frame({big, 48, 24, false});
  Bytes scratch(16 * 8 * 4), nv12(16 * 8 * 3 / 2);
  box_downscale_reference(big, 48, 24, scratch, 16, 8);
  bgra_to_nv12_reference(scratch, 16, 8, nv12);
  EXPECT_EQ(rig.encoders.encodes.back().digest, frame_digest(nv12));
  // An NV12 frame of another size counts as BGRA; too short, it repeats the picture.
  (void)rig.low->on_frame({Bytes(8 * 4 * 3 / 2, 1), 8, 4, false});
  EXPECT_EQ(rig.encoders.encodes.back().digest, frame_digest(nv12));
}

TEST(LowEncoder, AZeroSizedLayerEncodesItsBlankPicture) {
  LowRig rig;
  rig.settings = {0, 8, 15, 100'000};
  rig.make();
  rig.flags.low_enabled = true;
  (void)rig.low->on_frame({Bytes(64 * 4, 9), 8, 8, false});
  EXPECT_EQ(rig.encoders.encode_calls, 1u);
}

TEST(EncoderThread, ReturnsEveryBufferAndEndsWhenTheSenderIsDropped) {
  MemoryOutput out;
  MessageWriter writer(out);
  ControlFlags flags;
  flags.low_enabled = true;
  EncoderLog log;
  LowLink link = start_encoder_thread({16, 8, 15, 100'000}, flags, writer, testing::fake_encoder_factory(log),
                                      [](std::string_view) {});
  for (std::uint8_t i = 0; i < 3; ++i) {
    LowFrame frame{Bytes(16 * 8 * 3 / 2, i), 16, 8, false};
    while (link.frames.try_send(frame) == SendResult::Full) std::this_thread::yield();
  }
  std::vector<Bytes> back;
  while (back.size() < 3) {
    if (auto b = link.returned.try_receive()) {
      back.push_back(std::move(*b));
    } else {
      std::this_thread::sleep_for(1ms);
    }
  }
  EXPECT_EQ(back[2], Bytes(16 * 8 * 3 / 2, 2));
  EXPECT_EQ(parse_messages(out.data()).size(), 3u);
  // Dropping the sender closes the channel; the thread ends and drops its return end.
  link.frames = Sender<LowFrame>();
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < give_up) {
    // The return channel closes for us once its only sender, the thread, is gone.
    auto r = link.returned.receive_for(10ms);
    if (std::holds_alternative<ChannelClosed>(r)) break;
  }
  EXPECT_TRUE(std::holds_alternative<ChannelClosed>(link.returned.receive_for(0ms)));
}

}  // namespace
}  // namespace nimbra

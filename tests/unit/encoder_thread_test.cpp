// The low layer's encoder, one event at a time, and its thread around it.
#include "capture/encoder_thread.h"

#include <gtest/gtest.h>

#include "fakes/fake_encoder.h"
#include "memory_streams.h"
#include "pixels/bgra_to_nv12.h"

namespace nimbra {
namespace {

using Kinds = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

struct LowRig {
  testing::MemoryOutput out;
  MessageWriter writer{out};
  ControlFlags flags;
  testing::EncoderLog encoders;
  Lines lines;
  LowEncoder low{{16, 8, 15, 100'000}, flags, writer, testing::fake_encoder_factory(encoders),
                 [this](std::string_view line) { lines.emplace_back(line); }};

  LowRig() { flags.low_enabled = true; }
  void frame(bool key = false) { low.on_frame({Bytes(16 * 8 * 3 / 2, 50), 16, 8, key}); }
  Kinds kinds() const {
    Kinds k;
    for (const auto& m : testing::parse_messages(out.data)) k.push_back(m.kind);
    return k;
  }
};

TEST(LowEncoder, WritesKeysAsKind5AndForcesOrRecreatesForKeyRequests) {
  for (bool forceable : {true, false}) {
    SCOPED_TRACE(forceable);
    LowRig rig;
    rig.encoders.force_key_supported = forceable;
    rig.frame(true);  // the first encoder's first chunk is the key anyway
    EXPECT_FALSE(rig.encoders.encodes[0].force_key);
    EXPECT_EQ(rig.encoders.encodes[0].digest, frame_digest(Bytes(16 * 8 * 3 / 2, 50)));
    rig.frame(), rig.frame(), rig.frame(true);
    EXPECT_EQ(rig.encoders.created, forceable ? 1 : 2);
    EXPECT_EQ(rig.encoders.encodes[3].force_key, forceable);
    EXPECT_EQ(rig.kinds(), (Kinds{5, 6, 6, 5}));
  }
}

TEST(LowEncoder, ReturnsFramesUnencodedAndLetsTheEncoderGoWhileTheLayerIsOff) {
  LowRig rig;
  // The layer on or off, then a frame or a receive timeout: whether an encoder is kept.
  for (auto [on, frame, kept] : {std::tuple{true, true, true}, {true, false, true}, {false, false, false},
                                 {true, true, true}, {false, true, false}}) {
    rig.flags.low_enabled = on;
    frame ? rig.frame() : rig.low.on_timeout();
    EXPECT_EQ(rig.low.has_encoder(), kept);
  }
  EXPECT_EQ(rig.kinds(), (Kinds{5, 5}));  // command 11 again: a new encoder, a key frame first
}

TEST(LowEncoder, FiveFailuresInARowStopTheLayerAndOnlyFailedCreationsWriteALowError) {
  LowRig unmade;
  unmade.encoders.create_error = [](int) { return std::string("MFTEnumEx: нет"); };
  for (int i = 0; i < 8; ++i) unmade.frame();
  EXPECT_EQ(unmade.encoders.create_attempts, 5);
  EXPECT_EQ(unmade.lines, Lines(5, "[capture] облегчённый энкодер: MFTEnumEx: нет"));
  EXPECT_EQ(testing::parse_messages(unmade.out.data, 1).at(0).text(), R"({"low_err":"MFTEnumEx: нет"})");

  LowRig failing;  // encodes 0..3 fail, 4 succeeds and resets the count, 5..9 fail
  failing.encoders.encode_error = [](std::size_t i) { return i == 4 ? "" : "ProcessInput: x"; };
  for (int i = 0; i < 14; ++i) failing.frame();
  EXPECT_EQ(failing.encoders.encode_calls, 10u);
  EXPECT_EQ(failing.encoders.create_attempts, 9);  // the fifth encoder survived its success
  EXPECT_EQ(failing.lines, Lines(9, "[capture] облегчённый encode: ProcessInput: x"));
  EXPECT_EQ(failing.kinds(), Kinds{5});
}

TEST(LowEncoder, BgraFramesAreConvertedAndOthersRepeatThePreviousPicture) {
  LowRig rig;
  Bytes bgra(16 * 8 * 4), nv12(16 * 8 * 3 / 2);
  for (std::size_t i = 0; i < bgra.size(); ++i) bgra[i] = static_cast<std::uint8_t>(i * 7);
  rig.low.on_frame({bgra, 16, 8, false});
  bgra_to_nv12_reference(bgra, 16, 8, nv12);
  EXPECT_EQ(rig.encoders.encodes.back().digest, frame_digest(nv12));
  // A frame of another size or length repeats the picture.
  rig.low.on_frame({Bytes(16 * 8 * 4, 1), 32, 4, false});
  rig.low.on_frame({Bytes(16 * 8 * 2, 1), 16, 8, false});
  EXPECT_EQ(rig.encoders.encodes.back().digest, frame_digest(nv12));
  EXPECT_EQ(rig.encoders.encodes.size(), 3u);
}

TEST(EncoderThread, ReturnsEveryBufferAndEndsWhenTheSenderIsDropped) {
  LowRig rig;
  LowLink link = start_encoder_thread({16, 8, 15, 100'000}, rig.flags, rig.writer,
                                      testing::fake_encoder_factory(rig.encoders), [](std::string_view) {});
  for (std::uint8_t i = 0; i < 3; ++i) {
    ASSERT_EQ(link.frames.try_send(LowFrame{Bytes(16 * 8 * 3 / 2, i), 16, 8, false}), SendResult::Sent);
    auto back = link.returned.receive_for(10s);
    ASSERT_TRUE(std::holds_alternative<Bytes>(back));
    EXPECT_EQ(std::get<Bytes>(back), Bytes(16 * 8 * 3 / 2, i));
  }
  // Dropping the sender ends the thread, which closes the return channel behind it.
  link.frames = Sender<LowFrame>();
  EXPECT_TRUE(std::holds_alternative<ChannelClosed>(link.returned.receive_for(10s)));
}

}  // namespace
}  // namespace nimbra

#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "cli/number_syntax.h"

namespace nimbra {
namespace {

using Args = std::vector<std::string>;

std::string show(const Args& args) {
  std::ostringstream out;
  for (const auto& a : args) out << '[' << a << ']';
  return out.str();
}

Args capture(Args extra) {
  Args args{"--source", "s:0", "--parent", "4242"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(CommandLine, RefusesWhatBreaksTheGrammar) {
  const std::vector<Args> refused = {
      {}, {"--watch"}, {"--watch", "1280"}, {"--watch", "1280", "720", "640"},
      {"--watch", "1280", "720", "640", "360", "1"}, {"--watch", "abc", "720"}, {"--watch", "1280", "-720"},
      {"--watch", "1280", "720", "640", "1081"}, {"--watch", "1280", "720", "641", "360"},
      {"--watch", "1280", "720", "640", "361"}, {"--watch", "1280", "720", "0", "360"},
      {"--watch", "1280", "720", "1922", "360"}, {"--watch", "1280", "720", "640", "0"},
      {"--watch", "4294967296", "720"}, {"--WATCH", "1280", "720"}, {"--source", "s:1", "--parent", "4242"},
      {"--source", "w:0", "--parent", "4242"}, {"--source", "w:-0", "--parent", "4242"},
      {"--source", "w:abc", "--parent", "4242"}, {"--source", "w:", "--parent", "4242"},
      {"--source", "w:9223372036854775808", "--parent", "4242"},
      {"--source", "w:-9223372036854775809", "--parent", "4242"}, {"--source", "w: 5", "--parent", "4242"},
      {"--source", "w:+-5", "--parent", "4242"}, {"--source", "S:0", "--parent", "4242"},
      {"--source", "s:00", "--parent", "4242"}, {"--source", "s:0 ", "--parent", "4242"},
      {"--source", "s:0", "--parent", "0"}, {"--source", "s:0"}, {"--parent", "4242"},
      {"--source", "s:0", "--parent", "4294967296"}, {"--source", "s:0", "--parent", "-1"}, capture({"--fps"}),
      capture({"--fps", "0"}), capture({"--fps", "61"}), capture({"--fps", "30.0"}), capture({"--fps", ""}),
      capture({"--fps", "+"}), capture({"--fps", "-"}), capture({"--fps", "-30"}), capture({"--fps", "++30"}),
      capture({"--fps", " 30"}), capture({"--fps", "30 "}), capture({"--fps", "0x1E"}),
      capture({"--fps", "\xD9\xA3"}),  // ARABIC-INDIC DIGIT THREE
      capture({"--fps", "4294967326"}),  // 30 after a 32-bit wrap
      capture({"--width", "1279"}), capture({"--width", "1922"}), capture({"--width", "158"}),
      capture({"--height", "89"}), capture({"--height", "1082"}), capture({"--height", "721"}),
      capture({"--bitrate", "199999"}), capture({"--bitrate", "8000001"}), capture({"--audio", "0"}),
      capture({"--audio", "true"}), capture({"--audio", "01"}), capture({"--audio", ""}),
      capture({"--low", "640X360"}), capture({"--low", "640"}), capture({"--low", "x360"}),
      capture({"--low", "640x"}), capture({"--low", "640x360x"}), capture({"--low", "641x360"}),
      capture({"--low", "640x361"}), capture({"--low", "158x360"}), capture({"--low", "3842x360"}),
      capture({"--low", "640x88"}), capture({"--low", "640x2162"}), capture({"--low", "6 40x360"}),
      capture({"--low", "-640x360"}), capture({"--low-fps", "0"}), capture({"--low-fps", "61"}),
      capture({"--low-bitrate", "199999"}), capture({"--low-bitrate", "8000001"}), capture({"--verbose", "1"}),
      capture({"--Fps", "30"}), capture({"--watch", "1280"}), capture({"--watch"}),
      capture({"--fps", "20", "--fps", "0"}),  // every occurrence is checked
      capture({"--fps", "0", "--fps", "20"}), {"--source", "s:0", "--parent", "4242", "--audio"},
      {"s:0", "--source", "--parent", "4242"},
  };
  for (const auto& args : refused) {
    EXPECT_TRUE(std::holds_alternative<Refused>(parse_command_line(args))) << show(args);
  }
}

TEST(CommandLine, WatchModeTakesOneOrTwoSizes) {
  // The first size's range is the watch session's business, not the parser's.
  struct Case {
    Args args;
    WatchRequest want;
  };
  const std::vector<Case> cases = {
      {{"--watch", "1280", "720"}, {{1280, 720}, std::nullopt}},
      {{"--watch", "1281", "720"}, {{1281, 720}, std::nullopt}},
      {{"--watch", "0", "+0"}, {{0, 0}, std::nullopt}},
      {{"--watch", "4294967295", "720"}, {{4294967295u, 720}, std::nullopt}},
      {{"--watch", "1280", "720", "640", "360"}, {{1280, 720}, Size{640, 360}}},
      {{"--watch", "1280", "720", "2", "2"}, {{1280, 720}, Size{2, 2}}},
      {{"--watch", "1280", "720", "1920", "+1080"}, {{1280, 720}, Size{1920, 1080}}},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_command_line(c.args);
    ASSERT_TRUE(std::holds_alternative<WatchRequest>(parsed)) << show(c.args);
    EXPECT_EQ(std::get<WatchRequest>(parsed), c.want) << show(c.args);
  }
}

TEST(CommandLine, CaptureModeValues) {
  CaptureSettings defaults;
  defaults.parent_pid = 4242;
  const auto with = [&](auto change) {
    CaptureSettings s = defaults;
    change(s);
    return s;
  };
  struct Case {
    Args args;
    CaptureSettings want;
  };
  const std::vector<Case> cases = {
      {capture({}), defaults},
      {{"--parent", "4242", "--source", "s:0"}, defaults},
      {{"--source", "w:-5", "--parent", "4242"}, with([](auto& s) { s.source = {false, -5}; })},
      {{"--source", "w:+77", "--parent", "4242"}, with([](auto& s) { s.source = {false, 77}; })},
      {{"--source", "w:9223372036854775807", "--parent", "4242"},
       with([](auto& s) { s.source = {false, INT64_MAX}; })},
      {{"--source", "w:-9223372036854775808", "--parent", "4242"},
       with([](auto& s) { s.source = {false, INT64_MIN}; })},
      {{"--source", "w:5", "--parent", "4242", "--source", "s:0"}, defaults},
      {{"--source", "s:0", "--parent", "4294967295"}, with([](auto& s) { s.parent_pid = 4294967295u; })},
      {{"--source", "s:0", "--parent", "+00012"}, with([](auto& s) { s.parent_pid = 12; })},
      {capture({"--fps", "+30"}), defaults},
      {capture({"--fps", "10", "--fps", "20"}), with([](auto& s) { s.fps = 20; })},
      {capture({"--fps", "1"}), with([](auto& s) { s.fps = 1; })},
      {capture({"--fps", "60"}), with([](auto& s) { s.fps = 60; })},
      {capture({"--audio", "1"}), with([](auto& s) { s.audio = true; })},
      {capture({"--width", "1920", "--height", "1080"}), with([](auto& s) { s.width = 1920, s.height = 1080; })},
      {capture({"--width", "160", "--height", "90"}), with([](auto& s) { s.width = 160, s.height = 90; })},
      {capture({"--bitrate", "200000"}), with([](auto& s) { s.bitrate = 200'000; })},
      {capture({"--bitrate", "8000000"}), with([](auto& s) { s.bitrate = 8'000'000; })},
      {capture({"--low", "640x360"}), with([](auto& s) { s.low = LowSettings{640, 360, 30, 1'000'000}; })},
      {capture({"--low", " 640 x 360 "}), with([](auto& s) { s.low = LowSettings{640, 360, 30, 1'000'000}; })},
      {capture({"--low", "\t640\u00A0x\u3000+360\n"}),
       with([](auto& s) { s.low = LowSettings{640, 360, 30, 1'000'000}; })},
      {capture({"--low", "1280x720"}), defaults},     // not strictly smaller: silently off
      {capture({"--low", "640x720"}), defaults},
      {capture({"--low", "3840x2160"}), defaults},
      {capture({"--low", "640x360", "--low-fps", "60", "--fps", "15"}),
       with([](auto& s) { s.fps = 15, s.low = LowSettings{640, 360, 15, 1'000'000}; })},
      {capture({"--low-fps", "10", "--low", "640x360", "--low-bitrate", "8000000"}),
       with([](auto& s) { s.low = LowSettings{640, 360, 10, 8'000'000}; })},
      {capture({"--low-fps", "10", "--low-bitrate", "300000"}), defaults},  // no "--low": no effect
      {capture({"--low", "640x360", "--low", "1280x720"}), defaults},     // last wins
  };
  for (const auto& c : cases) {
    const auto parsed = parse_command_line(c.args);
    ASSERT_TRUE(std::holds_alternative<CaptureSettings>(parsed)) << show(c.args);
    EXPECT_EQ(std::get<CaptureSettings>(parsed), c.want) << show(c.args);
  }
}

TEST(CommandLine, DerivationClampsWhatValidationWouldNotLetThrough) {
  struct Case {
    std::uint32_t fps, width, height;
    LowSettings low;
    std::uint32_t want_fps, want_width, want_height;
    std::optional<LowSettings> want_low;
  };
  const Case cases[] = {
      {0, 5001, 2999, {7, 3001, 0, 1}, 1, 3840, 2160, std::nullopt},  // low height 2160 is not below 2160
      {0, 5001, 2999, {161, 91, 0, 9'000'000}, 1, 3840, 2160, LowSettings{160, 90, 1, 8'000'000}},
      {99, 1279, 721, {1278, 719, 0, 0}, 60, 1278, 720, std::nullopt},  // 1278 is not below the rounded 1278
      {99, 1279, 721, {1276, 718, 200, 0}, 60, 1278, 720, LowSettings{1276, 718, 60, 200'000}},
  };
  for (const Case& c : cases) {
    CaptureSettings s;
    s.fps = c.fps, s.width = c.width, s.height = c.height, s.low = c.low;
    const CaptureSettings e = effective_settings(s);
    EXPECT_EQ((std::array{e.fps, e.width, e.height}), (std::array{c.want_fps, c.want_width, c.want_height}));
    EXPECT_EQ(e.low, c.want_low) << c.low.width << "x" << c.low.height;
  }
}

// Number syntax itself is covered through the grammar tables above.
TEST(NumberSyntax, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_white_space(" \t640\r\n"), "640");
  EXPECT_EQ(trim_white_space("\u2003\u00A0 6 4 \u3000"), "6 4");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\u200B640"), "\u200B640");  // zero width space is not white space
}

}  // namespace
}  // namespace nimbra

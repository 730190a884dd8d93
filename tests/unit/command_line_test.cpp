#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <array>

#include "cli/number_syntax.h"
#include "cli/utf16.h"

namespace nimbra {
namespace {

using Args = std::vector<std::string>;

Args capture(Args extra) {
  Args args{"--source", "s:0", "--parent", "4242"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(CommandLine, RefusesWhatBreaksTheGrammar) {
  std::vector<Args> refused = {
      {"--watch", "1280"}, {"--watch", "1280", "720", "640"}, {"--watch", "abc", "720"}, {"--watch", "+", "720"},
      {"--watch", "1280", "720", "641", "360"}, {"--watch", "1280", "720", "640", "361"},
      {"--watch", "1280", "720", "0", "360"}, {"--watch", "1280", "720", "640", "0"},
      {"--watch", "1280", "720", "1922", "360"}, {"--watch", "1280", "720", "640", "1082"},
      {"--parent", "4242"}, capture({"--fps"}), capture({"--fps", "0", "--fps", "20"}),  // every occurrence counts
  };
  // One bad value on an otherwise good command line.
  const std::pair<const char*, const char*> bad_values[] = {
      {"--source", "s:1"}, {"--source", "w:0"}, {"--source", "w:"}, {"--source", "w:+-5"},
      {"--source", "w:9223372036854775808"}, {"--source", "w:-9223372036854775809"}, {"--parent", "0"},
      {"--parent", "4294967296"}, {"--fps", "0"}, {"--fps", "61"}, {"--fps", "-30"}, {"--fps", "++30"},
      {"--fps", " 30"}, {"--fps", "30.0"}, {"--fps", "\xD9\xA3"},  // ARABIC-INDIC DIGIT THREE
      {"--fps", "4294967326"},  // 30 after a 32-bit wrap
      {"--width", "1279"}, {"--width", "1922"}, {"--width", "158"}, {"--height", "88"}, {"--height", "1082"},
      {"--height", "721"}, {"--bitrate", "199999"}, {"--bitrate", "8000001"}, {"--audio", "0"},
      {"--low", "640X360"}, {"--low", "640x"}, {"--low", "640x360x"}, {"--low", "641x360"}, {"--low", "640x361"},
      {"--low", "158x360"}, {"--low", "3842x360"}, {"--low", "640x88"}, {"--low", "640x2162"}, {"--low", "6 40x360"},
      {"--low-fps", "0"}, {"--low-fps", "61"}, {"--low-bitrate", "199999"}, {"--low-bitrate", "8000001"},
      {"--Fps", "30"},
  };
  for (const auto& [option, value] : bad_values) refused.push_back(capture({option, value}));
  for (const auto& args : refused) {
    EXPECT_EQ(parse_command_line(args), CommandLine(Refused{})) << ::testing::PrintToString(args);
  }
}

TEST(CommandLine, WatchModeTakesOneOrTwoSizes) {
  // The first size's range is the watch session's business, not the parser's.
  const std::vector<std::pair<Args, WatchRequest>> cases = {
      {{"--watch", "0", "+0"}, {{0, 0}, std::nullopt}},
      {{"--watch", "4294967295", "720"}, {{4294967295u, 720}, std::nullopt}},
      {{"--watch", "1280", "720", "2", "2"}, {{1280, 720}, Size{2, 2}}},
      {{"--watch", "1280", "720", "1920", "+1080"}, {{1280, 720}, Size{1920, 1080}}},
  };
  for (const auto& [args, want] : cases) {
    EXPECT_EQ(parse_command_line(args), CommandLine(want)) << ::testing::PrintToString(args);
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
  const LowSettings low{640, 360, 30, 1'000'000};
  const std::vector<std::pair<Args, CaptureSettings>> cases = {
      {{"--parent", "4242", "--source", "s:0"}, defaults},
      {{"--source", "w:9223372036854775807", "--parent", "4242"},
       with([](auto& s) { s.source = {false, INT64_MAX}; })},
      {{"--source", "w:-9223372036854775808", "--parent", "4242"},
       with([](auto& s) { s.source = {false, INT64_MIN}; })},
      {{"--source", "w:-5", "--parent", "4242"}, with([](auto& s) { s.source = {false, -5}; })},
      {{"--source", "s:0", "--parent", "4294967295"}, with([](auto& s) { s.parent_pid = 4294967295u; })},
      {{"--source", "s:0", "--parent", "+00012"}, with([](auto& s) { s.parent_pid = 12; })},
      {capture({"--fps", "10", "--fps", "+20"}), with([](auto& s) { s.fps = 20; })},
      {capture({"--fps", "1", "--audio", "1", "--bitrate", "200000"}),
       with([](auto& s) { s.fps = 1, s.audio = true, s.bitrate = 200'000; })},
      {capture({"--fps", "60", "--width", "1920", "--height", "1080", "--bitrate", "8000000"}),
       with([](auto& s) { s.fps = 60, s.width = 1920, s.height = 1080, s.bitrate = 8'000'000; })},
      {capture({"--width", "160", "--height", "90", "--low", "160x90"}),
       with([](auto& s) { s.width = 160, s.height = 90; })},
      {capture({"--low", "\t640\u00A0x\u3000+360\n"}), with([&](auto& s) { s.low = low; })},
      {capture({"--low", "640x720"}), defaults},  // not strictly smaller: silently off
      {capture({"--low", "3840x2160"}), defaults},
      {capture({"--low", "640x360", "--low-fps", "60", "--fps", "15"}),
       with([&](auto& s) { s.fps = 15, s.low = LowSettings{640, 360, 15, 1'000'000}; })},
      {capture({"--low-fps", "10", "--low", "640x360", "--low-bitrate", "8000000"}),
       with([](auto& s) { s.low = LowSettings{640, 360, 10, 8'000'000}; })},
      {capture({"--low-fps", "10", "--low-bitrate", "300000"}), defaults},  // no "--low": no effect
      {capture({"--low", "640x360", "--low", "1280x720"}), defaults},     // last wins
  };
  for (const auto& [args, want] : cases) {
    EXPECT_EQ(parse_command_line(args), CommandLine(want)) << ::testing::PrintToString(args);
  }
}

TEST(CommandLine, DerivationClampsWhatValidationWouldNotLetThrough) {
  struct Case {
    std::uint32_t fps, width, height;
    LowSettings low;
    std::array<std::uint32_t, 3> want;
    std::optional<LowSettings> want_low;
  };
  const Case cases[] = {
      {0, 5001, 2999, {7, 3001, 0, 1}, {1, 3840, 2160}, std::nullopt},  // low height 2160 is not below 2160
      {0, 5001, 2999, {161, 91, 0, 9'000'000}, {1, 3840, 2160}, LowSettings{160, 90, 1, 8'000'000}},
      {99, 1279, 721, {1278, 719, 0, 0}, {60, 1278, 720}, std::nullopt},  // 1278 is not below the rounded 1278
      {99, 1279, 721, {1276, 718, 200, 0}, {60, 1278, 720}, LowSettings{1276, 718, 60, 200'000}},
  };
  for (const Case& c : cases) {
    CaptureSettings s;
    s.fps = c.fps, s.width = c.width, s.height = c.height, s.low = c.low;
    const CaptureSettings e = effective_settings(s);
    EXPECT_EQ((std::array{e.fps, e.width, e.height}), c.want);
    EXPECT_EQ(e.low, c.want_low) << c.low.width << "x" << c.low.height;
  }
}

// The grammar tables of the command line go through every number rule; trimming is what they cannot show.
TEST(NumberSyntax, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_white_space("\u2003\u00A0 6 4 \u3000\r\n"), "6 4");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space("\u200B640"), "\u200B640");  // zero width space is not white space
}

TEST(Utf16, ConvertsEveryLengthOfSequenceAtItsEdgesAndRefusesUnpairedSurrogates) {
  EXPECT_EQ(utf16_to_utf8(u"-\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF"),
            "-\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  const char16_t bad[] = {u'a', 0xD800, u'b', 0xDFFF, u'1', 0xDBFF};  // a lone high, a lone low, a high at the end
  for (auto [at, n] : {std::pair{0, 3}, {3, 1}, {4, 2}}) {
    EXPECT_FALSE(utf16_to_utf8(std::u16string_view(bad + at, n))) << at;
  }
}

}  // namespace
}  // namespace nimbra

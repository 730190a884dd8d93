#include "wire/handshake.h"

#include <gtest/gtest.h>

#include "memory_streams.h"

namespace nimbra {
namespace {

std::string handshake(std::vector<std::string> extra) {
  std::vector<std::string> args{"--source", "s:0", "--parent", "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return handshake_json(std::get<CaptureSettings>(parse_command_line(args)));
}

TEST(Handshake, DefaultSessionIsTheFixed58BytesAndTheLowObjectComesOnlyWhenSmaller) {
  testing::MemoryOutput out;
  MessageWriter writer(out);
  send_handshake(writer, std::get<CaptureSettings>(parse_command_line({"--source", "s:0", "--parent", "1"})));
  const std::string plain = R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})";
  EXPECT_EQ(std::string(out.data.begin(), out.data.end()), std::string("\x3B\x00\x00\x00\x01", 5) + plain);
  EXPECT_EQ(handshake({"--low", "1280x360"}), plain);
  EXPECT_EQ(handshake({"--width", "1920", "--height", "1080", "--low", "1280x718"}),
            R"({"codec":"avc1.64002a","height":1080,"low":{"codec":"avc1.64002a","height":718,"width":1280},)"
            R"("port":0,"width":1920})");
}

TEST(Handshake, ErrorTextIsEscapedAndBrokenUtf8Replaced) {
  EXPECT_EQ(error_json(R"(MFTEnumEx: "quoted" C:\path)"), R"({"error":"MFTEnumEx: \"quoted\" C:\\path"})");
  EXPECT_EQ(error_json("line\nnext\t\x01 энкодер"), "{\"error\":\"line\\nnext\\t\\u0001 энкодер\"}");
  EXPECT_EQ(error_json("bad \xFF\xC3 byte \xE2\x82"), "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD byte \xEF\xBF\xBD\"}");
  EXPECT_EQ(low_error_json("x"), R"({"low_err":"x"})");
}

}  // namespace
}  // namespace nimbra

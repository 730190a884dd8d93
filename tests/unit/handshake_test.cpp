#include "wire/handshake.h"

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "memory_streams.h"

namespace nimbra {
namespace {

std::string handshake(std::vector<std::string> extra) {
  std::vector<std::string> args{"--source", "s:0", "--parent", "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return handshake_json(std::get<CaptureSettings>(parse_command_line(args)));
}

TEST(Handshake, DefaultSessionIsTheFixed58Bytes) {
  testing::MemoryOutput out;
  MessageWriter writer(out);
  send_handshake(writer, std::get<CaptureSettings>(parse_command_line({"--source", "s:0", "--parent", "1"})));
  const std::string json = R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})";
  ASSERT_EQ(json.size(), 58u);
  EXPECT_EQ(std::string(out.data.begin(), out.data.end()), std::string("\x3B\x00\x00\x00\x01", 5) + json);
}

TEST(Handshake, LowObjectOnlyWhenStrictlySmaller) {
  const std::string plain = R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})";
  EXPECT_EQ(handshake({"--low", "640x360"}),
            R"({"codec":"avc1.64002a","height":720,"low":{"codec":"avc1.64002a","height":360,"width":640},)"
            R"("port":0,"width":1280})");
  EXPECT_EQ(handshake({"--low", "1280x360"}), plain);
  EXPECT_EQ(handshake({"--low", "640x720"}), plain);
  EXPECT_EQ(handshake({"--width", "1920", "--height", "1080", "--low", "1280x720"}),
            R"({"codec":"avc1.64002a","height":1080,"low":{"codec":"avc1.64002a","height":720,"width":1280},)"
            R"("port":0,"width":1920})");
}

TEST(Handshake, ErrorTextIsEscapedAndBrokenUtf8Replaced) {
  EXPECT_EQ(error_json(R"(MFTEnumEx: "quoted" C:\path)"), R"({"error":"MFTEnumEx: \"quoted\" C:\\path"})");
  EXPECT_EQ(error_json("line\nnext\t\x01"), R"({"error":"line\nnext\t\u0001"})");
  EXPECT_EQ(error_json("энкодер × 2"), "{\"error\":\"энкодер × 2\"}");
  EXPECT_EQ(error_json(""), R"({"error":""})");
  std::string json;
  EXPECT_NO_THROW(json = error_json("bad \xFF\xC3 byte \xE2\x82"));
  EXPECT_EQ(json, "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD byte \xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace nimbra

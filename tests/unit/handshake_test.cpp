#include "wire/handshake.h"

#include <gtest/gtest.h>

#include "cli/command_line.h"

namespace nimbra {
namespace {

class Collect final : public OutputStream {
 public:
  Status write(ByteView b) override {
    data.append(reinterpret_cast<const char*>(b.data()), b.size());
    return {};
  }
  std::string data;
};

CaptureSettings parsed(std::vector<std::string> extra) {
  std::vector<std::string> args{"--source", "s:0", "--parent", "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::get<CaptureSettings>(parse_command_line(args));
}

TEST(Handshake, DefaultSessionIsTheFixed58Bytes) {
  Collect out;
  MessageWriter writer(out);
  send_handshake(writer, parsed({}));
  const std::string json = R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})";
  ASSERT_EQ(json.size(), 58u);
  EXPECT_EQ(out.data, std::string("\x3B\x00\x00\x00\x01", 5) + json);
}

TEST(Handshake, LowObjectOnlyWhenStrictlySmaller) {
  EXPECT_EQ(handshake_json(parsed({"--low", "640x360"})),
            R"({"codec":"avc1.64002a","height":720,"low":{"codec":"avc1.64002a","height":360,"width":640},)"
            R"("port":0,"width":1280})");
  EXPECT_EQ(handshake_json(parsed({"--low", "1280x360"})),
            R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})");
  EXPECT_EQ(handshake_json(parsed({"--low", "640x720"})),
            R"({"codec":"avc1.64002a","height":720,"port":0,"width":1280})");
  EXPECT_EQ(handshake_json(parsed({"--width", "1920", "--height", "1080", "--low", "1280x720"})),
            R"({"codec":"avc1.64002a","height":1080,"low":{"codec":"avc1.64002a","height":720,"width":1280},)"
            R"("port":0,"width":1920})");
}

TEST(Handshake, ErrorTextIsEscaped) {
  EXPECT_EQ(error_json(R"(MFTEnumEx: "quoted" C:\path)"), R"({"error":"MFTEnumEx: \"quoted\" C:\\path"})");
  EXPECT_EQ(error_json("line\nnext\t\x01"), R"({"error":"line\nnext\t\u0001"})");
  EXPECT_EQ(error_json("энкодер × 2"), "{\"error\":\"энкодер × 2\"}");
  EXPECT_EQ(error_json(""), R"({"error":""})");
}

TEST(Handshake, InvalidUtf8InErrorTextIsReplacedNotThrown) {
  std::string json;
  EXPECT_NO_THROW(json = error_json("bad \xFF\xC3 byte \xE2\x82"));
  EXPECT_EQ(json, "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD byte \xEF\xBF\xBD\"}");

  Collect out;
  MessageWriter writer(out);
  send_error(writer, "\xC0\xAF");
  EXPECT_EQ(out.data.substr(4, 1), "\x01");
  EXPECT_EQ(out.data.substr(5).find('\xC0'), std::string::npos);
}

}  // namespace
}  // namespace nimbra

#include "wire/handshake.h"

#include <gtest/gtest.h>

namespace nimbra {
namespace {

// The handshake itself is held to its bytes by the session process test.
TEST(Handshake, ErrorTextIsEscapedAndBrokenUtf8Replaced) {
  EXPECT_EQ(error_json(R"(MFTEnumEx: "quoted" C:\path)"), R"({"error":"MFTEnumEx: \"quoted\" C:\\path"})");
  EXPECT_EQ(error_json("line\nnext\t\x01 энкодер"), "{\"error\":\"line\\nnext\\t\\u0001 энкодер\"}");
  EXPECT_EQ(error_json("bad \xFF\xC3 byte \xE2\x82"), "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD byte \xEF\xBF\xBD\"}");
  EXPECT_EQ(low_error_json("x"), R"({"low_err":"x"})");
}

}  // namespace
}  // namespace nimbra

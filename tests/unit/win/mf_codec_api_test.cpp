#include "platform/win/mf_codec_api.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/win/hresult.h"

namespace nimbra::platform {
namespace {

// Which forms an encoder accepts for "on", and what it was handed.
struct Case {
  ForceKeyForm probed;
  bool takes_bool, takes_unsigned;
  ForceKeyForm want;
  std::vector<VARTYPE> tried;
};

TEST(MfCodecApi, AKeyFrameRequestFallsBackToTheDocumentedTypeThenGivesUp) {
  const Case cases[] = {
      {ForceKeyForm::Boolean, true, true, ForceKeyForm::Boolean, {VT_BOOL}},
      {ForceKeyForm::Boolean, false, true, ForceKeyForm::Unsigned, {VT_BOOL, VT_UI4}},
      {ForceKeyForm::Boolean, false, false, ForceKeyForm::None, {VT_BOOL, VT_UI4}},
      {ForceKeyForm::Unsigned, true, false, ForceKeyForm::None, {VT_UI4}},
      {ForceKeyForm::None, true, true, ForceKeyForm::None, {}},
  };
  for (const Case& c : cases) {
    std::vector<VARTYPE> tried;
    const ForceKeyForm got = request_key_frame(c.probed, [&](VARIANT& v) {
      tried.push_back(v.vt);
      const bool on = v.vt == VT_BOOL ? v.boolVal == VARIANT_TRUE : v.ulVal == 1;
      EXPECT_TRUE(on);
      EXPECT_EQ(v.vt == VT_BOOL ? v.ulVal & 0xFFFF0000u : 0u, 0u) << "stray bytes beside the boolean";
      return (v.vt == VT_BOOL ? c.takes_bool : c.takes_unsigned) ? S_OK : E_INVALIDARG;
    });
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(tried, c.tried);
  }
}

// hresult_text's two forms are held to Wine's texts, which end in a line break, by the encoder's process test.
TEST(Hresult, SystemMessagesBecomeOneLine) {
  EXPECT_EQ(one_line("The parameter is incorrect.\r\n  See the log.\r\n"), "The parameter is incorrect. See the log.");
  EXPECT_EQ(one_line("a\nb\r\rc  d\t"), "a b c  d");
  EXPECT_EQ(one_line(""), "");
}

}  // namespace
}  // namespace nimbra::platform

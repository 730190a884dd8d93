#include "platform/win/mf_codec_api.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace nimbra::platform

// The parameter-set rewriter over any access unit: what it writes, it must
// leave as it is when it sees it again.
#include "codec/sps_bt601.h"
#include "fuzz_support.h"

using namespace nimbra;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Bytes once = label_sps_bt601(ByteView(data, size));
  FUZZ_CHECK(label_sps_bt601(once) == once);
  return 0;
}

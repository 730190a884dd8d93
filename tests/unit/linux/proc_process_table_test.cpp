// Process names and parents as the audio scan sees them on Linux.
#include "platform/linux/proc_process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace nimbra::platform {
namespace {

TEST(ProcProcessTable, HoldsThisProcessByLowerCasedExecutableNameAndParent) {
  EXPECT_EQ(lower_case_utf8("ПЛЕЕР.EXE"), "плеер.exe");
  EXPECT_EQ(lower_case_utf8("Ab\xff\xc3"), "ab\xEF\xBF\xBD\xEF\xBF\xBD");  // bad bytes replaced
  const audio::ProcessTable table = read_proc_process_table();
  const auto self = table.find(static_cast<std::uint32_t>(::getpid()));
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->second.name, "nimbra_unit_tests");
  EXPECT_EQ(self->second.parent_pid, static_cast<std::uint32_t>(::getppid()));
}

}  // namespace
}  // namespace nimbra::platform

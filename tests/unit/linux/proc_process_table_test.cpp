// Process names and parents as the audio scan sees them on Linux.
#include "platform/linux/proc_process_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/linux/pulse_app_capture.h"

namespace nimbra::platform {
namespace {

TEST(ProcProcessTable, HoldsThisProcessByExecutableNameAndParent) {
  const audio::ProcessTable table = read_proc_process_table();
  const auto self = table.find(static_cast<std::uint32_t>(::getpid()));
  ASSERT_NE(self, table.end());
  EXPECT_EQ(self->second.name, "nimbra_unit_tests");
  EXPECT_EQ(self->second.parent_pid, static_cast<std::uint32_t>(::getppid()));
  EXPECT_FALSE(table.contains(0));
  EXPECT_TRUE(in_process_tree(static_cast<std::uint32_t>(::getpid()), static_cast<std::uint32_t>(::getppid())));
  EXPECT_FALSE(in_process_tree(static_cast<std::uint32_t>(::getppid()), static_cast<std::uint32_t>(::getpid())));
}

TEST(ProcProcessTable, LowerCasesUnicodeAndReplacesBadBytes) {
  EXPECT_EQ(lower_case_utf8("ПЛЕЕР.EXE"), "плеер.exe");
  EXPECT_EQ(lower_case_utf8("Ab\xff\xc3"), "ab\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nimbra::platform

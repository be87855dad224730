// The child processes the end-to-end suite runs: what environment they see.
#include "tests/support/environment.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>

namespace quarn::test {
namespace {

// `QT_QPA_PLATFORM=offscreen ctest` must not make a child that is given
// QT_QPA_PLATFORM=xcb find the inherited value first (getenv takes the first
// of two). The shell tidies its own copy, so the child reads the environment
// it was started with from /proc.
TEST(ChildProcess, GivenEnvironmentReplacesInheritedEntries) {
    const ScopedEnv inherited("QUARN_CHILD_PROBE", "inherited");
    Child child({"sh", "-c",
                 "test \"$(grep -zc '^QUARN_CHILD_PROBE=' /proc/$$/environ)\" = 1 && "
                 "grep -qzx 'QUARN_CHILD_PROBE=given' /proc/$$/environ && grep -qz '^PATH=' "
                 "/proc/$$/environ"},
                {"QUARN_CHILD_PROBE=given"});
    ASSERT_GT(child.Pid(), 0);
    EXPECT_EQ(child.Wait(), 0);
}

} // namespace
} // namespace quarn::test

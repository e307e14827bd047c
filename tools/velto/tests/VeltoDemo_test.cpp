// The demo checks itself; here it runs briefly and must pass, with every part present.

#include <gtest/gtest.h>

#include "tests/VeltoProcess.h"

namespace velto::test {
namespace {

TEST(VeltoDemo, ShortRunPassesItsOwnChecks) {
    const Result result = RunVelto({"demo", "--seconds", "3"}, 60);
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Matching(result.out, "^demo: all checks passed$").size(), 1u) << result.out;
    // The compression plug-in is built beside the library, so aggregates were sent.
    EXPECT_EQ(Matching(result.out, "^compression plug-in loaded: Codec\\.(so|dll) ").size(), 1u);
    EXPECT_EQ(Matching(result.out, "[1-9][0-9]* compressed aggregates").size(), 1u);
    // Each receiver had a connection before and after the restart, and was checked.
    for (const char* row :
         {"^R1 +ids 0-99 +2 ", "^R2 +every 10th id.* +2 ", "^R3 +ids 200-349, persistent +2 "}) {
        const auto lines = Matching(result.out, row);
        ASSERT_EQ(lines.size(), 1u) << row << "\n" << result.out;
        EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "ok") << lines[0];
    }
    EXPECT_EQ(
        Matching(result.out, "^R3: connect failed: .*10061 connection refused$|^R3: connected")
                .size() >= 2,
        true)
        << result.out;
    EXPECT_EQ(Matching(result.out, "^seq .* ok$").size(), 1u);
    // Plain periodic status lines when stdout is not a terminal.
    EXPECT_GE(Matching(result.out, "^ +[0-9]+\\.[0-9] s \\| R1 ").size(), 2u);
}

}  // namespace
}  // namespace velto::test

namespace velto::test {
namespace {

TEST(VeltoDemo, InterruptedRunReportsAndFails) {
    VELTO_NEEDS_INTERRUPT();
    VeltoProcess demo({"demo", "--seconds", "60"});
    ASSERT_TRUE(demo.WaitForLine("^feeds started$", 20)) << demo.Out() << demo.Err();
    demo.Interrupt();
    EXPECT_EQ(demo.Wait(20), 1);
    EXPECT_EQ(Matching(demo.Out(), "^problem: interrupted before the end$").size(), 1u)
        << demo.Out();
    EXPECT_EQ(Matching(demo.Out(), "^demo: FAILED$").size(), 1u);
}

}  // namespace
}  // namespace velto::test

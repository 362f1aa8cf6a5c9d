// The main of every test program, in place of GoogleTest's: CTest learns
// that a test was skipped from the exit status alone, never from its output.
// Exit status 77 when every test that ran was skipped and none failed; a
// skip that gives no reason fails the program, so that each skip says why
// the machine cannot run the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The skips without a reason in result, each as "file:line".
void ReasonlessSkips(const ::testing::TestResult& result, const std::string& what, std::string& found) {
  for (int i = 0; i < result.total_part_count(); ++i) {
    const ::testing::TestPartResult& p = result.GetTestPartResult(i);
    if (!p.skipped() || (p.message() != nullptr && p.message()[0] != '\0')) continue;
    found += "  " + what + " at " + (p.file_name() ? p.file_name() : "?") + ":" + std::to_string(p.line_number()) + "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
  std::string reasonless;
  ReasonlessSkips(unit.ad_hoc_test_result(), "the program's set-up", reasonless);
  for (int s = 0; s < unit.total_test_suite_count(); ++s) {
    const ::testing::TestSuite& suite = *unit.GetTestSuite(s);
    ReasonlessSkips(suite.ad_hoc_test_result(), std::string(suite.name()) + " set-up", reasonless);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const ::testing::TestInfo& test = *suite.GetTestInfo(t);
      if (test.should_run())
        ReasonlessSkips(*test.result(), std::string(suite.name()) + "." + test.name(), reasonless);
    }
  }
  if (!reasonless.empty()) {
    std::fprintf(stderr, "A skip must say why the test cannot run here; these do not:\n%s", reasonless.c_str());
    return 1;
  }
  if (status == 0 && unit.test_to_run_count() > 0 && unit.skipped_test_count() == unit.test_to_run_count())
    return 77;
  return status;
}

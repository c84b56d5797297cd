// The suites' entry point: GoogleTest's own, except in the listing that ctest's test discovery
// reads. GoogleTest lists a parameterised case with a dump of its parameter's bytes after its
// name, which ctest would keep as part of the test's name; here every case is listed by its
// name alone.
#include <gtest/gtest.h>

#include <cstdio>

namespace {

void ListTests() {
  const ::testing::UnitTest &unit = *::testing::UnitTest::GetInstance();
  for (int suite = 0; suite < unit.total_test_suite_count(); ++suite) {
    const ::testing::TestSuite &tests = *unit.GetTestSuite(suite);
    std::printf("%s.\n", tests.name());
    for (int test = 0; test < tests.total_test_count(); ++test) std::printf("  %s\n", tests.GetTestInfo(test)->name());
  }
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) {
    ListTests();
    return 0;
  }
  return RUN_ALL_TESTS();
}

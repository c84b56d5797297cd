// Fault injection: the list syntax and which calls it fails.
#include <gtest/gtest.h>

#include "platform/faults.h"

namespace {

class Faults : public ::testing::Test {
 protected:
  void SetUp() override { platform::ClearFaults(); }
  void TearDown() override { platform::ClearFaults(); }
};

TEST_F(Faults, NamedFaultHitsOnlyItsCallAndHandle) {
  platform::InjectFault("SetCommState", "COM1:", ERROR_GEN_FAILURE);
  EXPECT_EQ(platform::CheckFault("SetCommState", "COM1:"), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(platform::CheckFault("SetCommState", "com1:"), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(platform::CheckFault("SetCommState", "COM2:"), 0u);
  EXPECT_EQ(platform::CheckFault("GetCommState", "COM1:"), 0u);
}

TEST_F(Faults, CountLimitsHowManyCallsFail) {
  platform::InjectFault("CreateThread", "", 8, 2);
  EXPECT_EQ(platform::CheckFault("CreateThread", ""), 8u);
  EXPECT_EQ(platform::CheckFault("CreateThread", "anything"), 8u);
  EXPECT_EQ(platform::CheckFault("CreateThread", ""), 0u);
}

TEST_F(Faults, ListSyntaxArmsEveryItem) {
  std::string error;
  ASSERT_TRUE(platform::ArmFaults("SetCommTimeouts@COM1:=31,CreateThread=0x8*1", &error)) << error;
  EXPECT_EQ(platform::CheckFault("SetCommTimeouts", "COM1:"), 31u);
  EXPECT_EQ(platform::CheckFault("CreateThread", ""), 8u);
  EXPECT_EQ(platform::CheckFault("CreateThread", ""), 0u);
}

TEST_F(Faults, MalformedListsArmNothingAndSayWhy) {
  for (const char *bad : {"SetCommState", "=5", "SetCommState=", "SetCommState=abc", "X=5*", "X=5*-1", "A=1,B"}) {
    std::string error;
    EXPECT_FALSE(platform::ArmFaults(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_EQ(platform::CheckFault("A", ""), 0u);
}

}  // namespace

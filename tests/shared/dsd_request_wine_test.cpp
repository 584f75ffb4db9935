// The DSD request on a machine without the DAC: no interface of its class is present, so nothing
// is opened, nothing is printed and the request reports failure. Runs natively on an empty
// simulated machine and under Wine, which has no such device.
#include <gtest/gtest.h>

#include "dsd_request.h"
#include "machine.h"

namespace {

class DsdRequestWithoutDeviceTest : public MachineTest {};

TEST_F(DsdRequestWithoutDeviceTest, NoInterfaceMeansMinusOneAndNoMessage) {
  testing::internal::CaptureStdout();
  int result = SendDsdModeRequest(L"USB\\VID_F1E5&PID_7A11");
  fflush(stdout);
  std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(-1, result);
  EXPECT_EQ("", output);
  EXPECT_EQ(nullptr, OpenDeviceByInstancePrefix(L""));
}

}  // namespace

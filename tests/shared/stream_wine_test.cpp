// The engine on a real Windows audio stack that refuses exclusive streams, as Wine's does: the
// driver lists the devices, makes buffers, and refuses start with a reason the host can show,
// leaving nothing open and hanging nowhere. Natively the null backend always opens, so this runs
// in the Windows builds only.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "driver.h"
#include "machine.h"

namespace {

#if defined(_WIN32)

int switches = 0;
void CountSwitch(long, ASIOBool) { ++switches; }
long NoTimeInfo(long, long, void *, double *) { return 0; }

class StreamWithoutExclusiveModeTest : public MachineTest {};

TEST_F(StreamWithoutExclusiveModeTest, StartIsRefusedWithAReasonAndEverythingElseWorks) {
  testsupport::WriteFileBytes(testsupport::ExecutableIdentityPath(),
                              "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\n"
                              "Vantrel ASIO\r\nVantrel\r\n");
  ASIOPelkor *driver = new ASIOPelkor(nullptr);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ASIOTrue, driver->init(nullptr));
  std::string listing = testing::internal::GetCapturedStdout();
  printf("init listed %u playback device(s):\n%s", static_cast<unsigned>(driver->PlaybackDeviceCount()),
         listing.c_str());
  // The test runs give Wine one silent ALSA device (scripts/wine-asound.conf).
  EXPECT_GE(driver->PlaybackDeviceCount(), 1u);
  EXPECT_EQ(0u, listing.find("0 - ")) << listing;

  ASIOCallbacks callbacks = {CountSwitch, nullptr, NoTimeInfo, nullptr};
  ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
  ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 220, &callbacks));
  ASSERT_NE(nullptr, infos[1].buffers[1]);

  testing::internal::CaptureStdout();
  EXPECT_EQ(ASE_NotPresent, driver->start());
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(driver->Started());
  char message[124];
  driver->getErrorMessage(message);
  printf("getErrorMessage: %s\n", message);
  EXPECT_NE(nullptr, strstr(message, "could not be opened in exclusive mode")) << message;
  EXPECT_EQ(std::string(message) + "\n", printed);
  EXPECT_EQ(0, switches);

  EXPECT_EQ(ASE_OK, driver->stop());
  EXPECT_EQ(ASE_OK, driver->disposeBuffers());
  // A second try after new buffers is refused the same way.
  ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 440, &callbacks));
  testing::internal::CaptureStdout();
  EXPECT_EQ(ASE_NotPresent, driver->start());
  testing::internal::GetCapturedStdout();
  delete driver;
  EXPECT_EQ(0, ObjectCount);
}

#endif

}  // namespace

// The engine on a real Windows audio stack that refuses exclusive streams, as Wine's does: the
// driver lists the devices, makes buffers, and refuses start with a reason the host can show,
// leaving nothing open and hanging nowhere. Wine has no policy-configuration object either, so
// following the host's rate falls back to what start always did, and the endpoint's format stays.
// Natively the null backend always opens, so this runs in the Windows builds only.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "driver.h"
#include "endpoint_format.h"
#include "machine.h"

namespace {

#if defined(_WIN32)

int switches = 0;
void CountSwitch(long, ASIOBool) { ++switches; }
long NoTimeInfo(long, long, void *, double *) { return 0; }

class StreamWithoutExclusiveModeTest : public MachineTest {};

const CLSID kPolicyConfigClass = {0x870AF99C, 0x171D, 0x4F9E, {0xAF, 0x0D, 0xE6, 0x3D, 0xF4, 0x0C, 0x2B, 0xC9}};

// The endpoint's default format as bytes, or an empty text when it cannot be read.
std::string DefaultFormatOf(const ma_device_info &device) {
  EndpointId id = {};
  for (size_t i = 0; i < kEndpointIdChars && device.id.wasapi[i]; ++i) id[i] = device.id.wasapi[i];
  FormatBytes format;
  if (ReadEndpointFormat(id, &format) != S_OK) return std::string();
  return std::string(reinterpret_cast<const char *>(format.bytes), format.size);
}

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
  ASSERT_GE(driver->PlaybackDeviceCount(), 1u);
  EXPECT_EQ(0u, listing.find("0 - ")) << listing;

  // The host's thread is in a COM apartment, as hosts make it.
  HRESULT com = CoInitialize(nullptr);
  IUnknown *policy = nullptr;
  HRESULT created = CoCreateInstance(kPolicyConfigClass, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void **>(&policy));
  EXPECT_TRUE(FAILED(created)) << "Wine now has a policy-configuration object: this test no longer shows the fallback";
  if (policy) policy->Release();
  std::string before = DefaultFormatOf(driver->PlaybackDevices()[0]);
  printf("the endpoint's default format: %u bytes\n", static_cast<unsigned>(before.size()));

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
  // Wine's endpoint has a default format and takes 32-bit stereo for exclusive use; the change
  // stops at the policy object, and the open fails as it always did.
  EXPECT_EQ(kFollowNoPolicy, driver->LastFollow());
  EXPECT_EQ(before, DefaultFormatOf(driver->PlaybackDevices()[0]));

  EXPECT_EQ(ASE_OK, driver->stop());
  EXPECT_EQ(ASE_OK, driver->disposeBuffers());
  // A second try after new buffers is refused the same way.
  ASSERT_EQ(ASE_OK, driver->createBuffers(infos, 2, 440, &callbacks));
  testing::internal::CaptureStdout();
  EXPECT_EQ(ASE_NotPresent, driver->start());
  testing::internal::GetCapturedStdout();
  delete driver;
  EXPECT_EQ(0, ObjectCount);
  if (SUCCEEDED(com)) CoUninitialize();
}

#endif

}  // namespace

// The driver object's query and setting methods, on the simulated machine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "driver.h"
#include "driver_peer.h"
#include "identity.h"
#include "machine.h"
#include "sim/machine.h"

namespace {

long BufferSize(ASIOPelkor &driver) {
  long minSize = -1, maxSize = -1, preferred = -1, granularity = -1;
  EXPECT_EQ(ASE_OK, driver.getBufferSize(&minSize, &maxSize, &preferred, &granularity));
  EXPECT_EQ(minSize, preferred);
  EXPECT_EQ(maxSize, preferred);
  return preferred;
}

void SetLatency(DWORD ms) { sim::SetRegDword(HKEY_CURRENT_USER, SETTINGS_KEY, L"latencyms", ms); }

class DriverTest : public MachineTest {};

TEST_F(DriverTest, NameVersionAndErrorMessage) {
  ASIOPelkor driver(nullptr);
  char name[40];
  memset(name, 0x55, sizeof(name));
  driver.getDriverName(name);
  EXPECT_STREQ("Pelkor ASIO 1.10", name);
  for (size_t i = sizeof("Pelkor ASIO 1.10"); i < sizeof(name); ++i) EXPECT_EQ(0x55, name[i]) << i;
  EXPECT_EQ(2, driver.getDriverVersion());
  char message[124];
  memset(message, 0x55, sizeof(message));
  driver.getErrorMessage(message);
  EXPECT_STREQ("", message);
  EXPECT_EQ(0x55, message[1]);
  EXPECT_EQ(ASE_NotPresent, driver.outputReady());
}

TEST_F(DriverTest, TwoOutputsNoInputs) {
  ASIOPelkor driver(nullptr);
  long inputs = -1, outputs = -1;
  EXPECT_EQ(ASE_OK, driver.getChannels(&inputs, &outputs));
  EXPECT_EQ(0, inputs);
  EXPECT_EQ(2, outputs);
}

TEST_F(DriverTest, NullOutputPointersAreRefused) {
  ASIOPelkor driver(nullptr);
  long value = 0;
  EXPECT_EQ(ASE_InvalidParameter, driver.getChannels(nullptr, &value));
  EXPECT_EQ(ASE_InvalidParameter, driver.getLatencies(&value, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, driver.getBufferSize(&value, &value, nullptr, &value));
  EXPECT_EQ(ASE_InvalidParameter, driver.getSampleRate(nullptr));
  EXPECT_EQ(ASE_InvalidParameter, driver.getClockSources(nullptr, &value));
  EXPECT_EQ(ASE_InvalidParameter, driver.getChannelInfo(nullptr));
  driver.getDriverName(nullptr);
  driver.getErrorMessage(nullptr);
}

// canSampleRate says no to them too: hosts list only the rates it says yes to, then open one.
TEST_F(DriverTest, RatesBelowCdRateHaveNoClock) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_NoClock, driver.canSampleRate(22050.0));
  EXPECT_EQ(ASE_OK, driver.canSampleRate(44100.0));
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(22050.0));
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(-1.0));
  EXPECT_EQ(44100u, driver.StreamSampleRate());
  EXPECT_EQ(220, BufferSize(driver));
  EXPECT_EQ(0u, driver.TimeInfo().timeInfo.flags);
}

TEST_F(DriverTest, RatesThatCannotBeStoredHaveNoClock) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(4294967296.0));
  EXPECT_EQ(44100u, driver.StreamSampleRate());
  // In DSD mode the stored rate is a 32nd, so a higher rate still fits.
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  driver.future(kAsioSetIoFormat, &format);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(4294967296.0));
  EXPECT_EQ(134217728u, driver.StreamSampleRate());
}

TEST_F(DriverTest, FractionalRatesAreTruncated) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(48000.9));
  EXPECT_EQ(48000u, driver.StreamSampleRate());
}

TEST_F(DriverTest, ZeroLatencyStillGivesAUsableBuffer) {
  SetLatency(0);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(44, BufferSize(driver));  // counted as 1 ms
  EXPECT_EQ(ASE_OK, driver.setSampleRate(96000.0));
  EXPECT_EQ(96, BufferSize(driver));
}

TEST_F(DriverTest, BufferNeverDropsBelowTwoFrames) {
  SetLatency(1);
  ASIOPelkor driver(nullptr);
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  driver.future(kAsioSetIoFormat, &format);
  // 44100 / 32 = 1378 words per second: 1 ms of it is a single word.
  EXPECT_EQ(ASE_OK, driver.setSampleRate(44100.0 + 1));
  EXPECT_EQ(2u, driver.PreferredFrames());
  EXPECT_EQ(64, BufferSize(driver));
}

TEST_F(DriverTest, HugeLatencyIsCappedWithoutOverflow) {
  SetLatency(0xFFFFFFFF);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(static_cast<ULONG>(kMaxBlockFrames), driver.PreferredFrames());
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  driver.future(kAsioSetIoFormat, &format);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
  long size = BufferSize(driver);
  EXPECT_EQ(static_cast<long>(kMaxBlockFrames) * 32, size);
  EXPECT_GT(size, 0);
}

TEST_F(DriverTest, PreferredFramesRoundDownToEven) {
  EXPECT_EQ(220u, ComputePreferredFrames(5, 44100));
  EXPECT_EQ(440u, ComputePreferredFrames(10, 44100));
  EXPECT_EQ(440u, ComputePreferredFrames(5, 88200));
  EXPECT_EQ(2u, ComputePreferredFrames(1, 3000));  // 3 frames round down to 2
  EXPECT_EQ(48u, ComputePreferredFrames(0, 48000));
}

TEST_F(DriverTest, KeyThatDoesNotOpenGivesTheFirstDefaults) {
  SetLatency(20);
  sim::DenyRegKey(HKEY_CURRENT_USER, SETTINGS_KEY);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(220, BufferSize(driver));
  EXPECT_EQ(1u, driver.PeriodCount());
}

TEST_F(DriverTest, SampleRateChangeSetsTheTimeInfo) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(88200.0));
  EXPECT_EQ(88200.0, driver.TimeInfo().timeInfo.sampleRate);
  EXPECT_EQ(static_cast<unsigned long>(kSampleRateChanged), driver.TimeInfo().timeInfo.flags);
  long input = -1, output = -1;
  driver.getLatencies(&input, &output);
  EXPECT_EQ(440, output);
}

double reportedRate = 0;
int rateReports = 0;
void RecordRate(ASIOSampleRate rate) {
  reportedRate = rate;
  ++rateReports;
}

TEST_F(DriverTest, RateChangeIsReportedToTheHostWhenItHasCallbacks) {
  SetLatency(5);
  ASIOPelkor driver(nullptr);
  ASIOCallbacks callbacks = {};
  callbacks.sampleRateDidChange = RecordRate;
  DriverTestPeer::SetCallbacks(driver, &callbacks);
  reportedRate = 0;
  rateReports = 0;
  EXPECT_EQ(ASE_OK, driver.setSampleRate(96000.0));
  EXPECT_EQ(1, rateReports);
  EXPECT_EQ(96000.0, reportedRate);
  EXPECT_EQ(480, BufferSize(driver));
  // An unchanged rate and a refused rate are not reported.
  EXPECT_EQ(ASE_OK, driver.setSampleRate(96000.0));
  EXPECT_EQ(ASE_NoClock, driver.setSampleRate(8000.0));
  EXPECT_EQ(1, rateReports);
  // In DSD mode the host hears the stored word rate.
  ASIOIoFormat format = {};
  format.FormatType = kASIODSDFormat;
  driver.future(kAsioSetIoFormat, &format);
  EXPECT_EQ(ASE_OK, driver.setSampleRate(128 * 44100.0));
  EXPECT_EQ(2, rateReports);
  EXPECT_EQ(176400.0, reportedRate);
  // A host without the callback is simply not told.
  callbacks.sampleRateDidChange = nullptr;
  EXPECT_EQ(ASE_OK, driver.setSampleRate(64 * 44100.0));
  EXPECT_EQ(2, rateReports);
  DriverTestPeer::SetCallbacks(driver, nullptr);
}

TEST_F(DriverTest, ClockSources) {
  ASIOPelkor driver(nullptr);
  ASIOClockSource clocks[2];
  memset(clocks, 0x55, sizeof(clocks));
  long count = 0;  // the host's count on entry is not examined
  EXPECT_EQ(ASE_OK, driver.getClockSources(clocks, &count));
  EXPECT_EQ(1, count);
  EXPECT_EQ(0, clocks[0].index);
  EXPECT_EQ(-1, clocks[0].associatedChannel);
  EXPECT_EQ(-1, clocks[0].associatedGroup);
  EXPECT_EQ(ASIOTrue, clocks[0].isCurrentSource);
  EXPECT_STREQ("Internal", clocks[0].name);
  EXPECT_EQ(0x55555555, static_cast<unsigned>(clocks[1].index));

  EXPECT_EQ(ASE_NotPresent, driver.setClockSource(1));
  EXPECT_EQ(0u, driver.TimeInfo().timeInfo.flags);
  EXPECT_EQ(ASE_OK, driver.setClockSource(0));
  EXPECT_EQ(static_cast<unsigned long>(kClockSourceChanged), driver.TimeInfo().timeInfo.flags);
}

TEST_F(DriverTest, ChannelInfoForOutputs) {
  ASIOPelkor driver(nullptr);
  ASIOChannelInfo info;
  memset(&info, 0x55, sizeof(info));
  info.channel = 1;
  info.isInput = ASIOFalse;
  EXPECT_EQ(ASE_OK, driver.getChannelInfo(&info));
  EXPECT_STREQ(" channel 1", info.name);
  EXPECT_EQ(ASIOSTInt32LSB, info.type);
  EXPECT_EQ(0, info.channelGroup);
  EXPECT_EQ(ASIOFalse, info.isActive);
}

// At construction no output is active. Channel 0 is the one a check of the channel list would get
// wrong: the list holds zeros until createBuffers fills it.
TEST_F(DriverTest, ChannelZeroIsInactiveAtConstruction) {
  ASIOPelkor driver(nullptr);
  ASIOChannelInfo info;
  memset(&info, 0x55, sizeof(info));
  info.channel = 0;
  info.isInput = ASIOFalse;
  EXPECT_EQ(ASE_OK, driver.getChannelInfo(&info));
  EXPECT_EQ(ASIOFalse, info.isActive);
  EXPECT_STREQ(" channel 0", info.name);
  EXPECT_EQ(ASIOSTInt32LSB, info.type);
}

TEST_F(DriverTest, ChannelInfoRefusesInputsAndOtherChannels) {
  ASIOPelkor driver(nullptr);
  const struct {
    long channel;
    ASIOBool isInput;
  } cases[] = {{2, ASIOFalse}, {-1, ASIOFalse}, {0, ASIOTrue}, {1, ASIOTrue}, {1000000, ASIOFalse}};
  for (const auto &c : cases) {
    ASIOChannelInfo info;
    memset(&info, 0x55, sizeof(info));
    info.channel = c.channel;
    info.isInput = c.isInput;
    ASIOChannelInfo before = info;
    EXPECT_EQ(ASE_InvalidParameter, driver.getChannelInfo(&info)) << c.channel;
    EXPECT_EQ(0, memcmp(&before, &info, sizeof(info))) << "record changed for channel " << c.channel;
  }
}

TEST_F(DriverTest, FutureSelectors) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioEnableTimeCodeRead, nullptr));
  EXPECT_TRUE(driver.TimeCodeRead());
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioDisableTimeCodeRead, nullptr));
  EXPECT_FALSE(driver.TimeCodeRead());
  for (long selector : std::initializer_list<long>{kAsioSetInputMonitor, kAsioCanInputMonitor, kAsioCanTimeInfo, kAsioCanTimeCode})
    EXPECT_EQ(ASE_SUCCESS, driver.future(selector, nullptr)) << selector;
  for (long selector : std::initializer_list<long>{kAsioTransport, kAsioSetInputGain, kAsioGetInputMeter, kAsioSetOutputGain,
                        kAsioGetOutputMeter, kAsioCanTransport, kAsioCanInputGain, kAsioCanOutputMeter,
                        kAsioOptionalOne, 0L, -1L, 0x23111962L})
    EXPECT_EQ(ASE_NotPresent, driver.future(selector, nullptr)) << selector;
  ASIOIoFormat format = {};
  format.FormatType = 7;
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioCanDoIoFormat, &format));
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioCanDoIoFormat, nullptr));
}

TEST_F(DriverTest, IoFormatRoundTripAndAnyValueAccepted) {
  ASIOPelkor driver(nullptr);
  ASIOIoFormat format;
  memset(&format, 0x55, sizeof(format));
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioGetIoFormat, &format));
  EXPECT_EQ(kASIOPCMFormat, format.FormatType);
  EXPECT_EQ(0x55, static_cast<unsigned char>(format.future[0]));

  format.FormatType = kASIODSDFormat;
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioSetIoFormat, &format));
  EXPECT_TRUE(driver.IsDsdMode());
  // Switching changes nothing else until the next setSampleRate.
  EXPECT_EQ(44100u, driver.StreamSampleRate());
  EXPECT_EQ(220 * 32, BufferSize(driver));

  format.FormatType = 5;  // any other value is PCM
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioSetIoFormat, &format));
  EXPECT_FALSE(driver.IsDsdMode());
  format.FormatType = 0;
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioGetIoFormat, &format));
  EXPECT_EQ(5, format.FormatType);
}

TEST_F(DriverTest, IoFormatWithoutRecordIsRefused) {
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_InvalidParameter, driver.future(kAsioSetIoFormat, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, driver.future(kAsioGetIoFormat, nullptr));
  EXPECT_FALSE(driver.IsDsdMode());
}

TEST_F(DriverTest, ControlPanelStartsTheProgramBesideTheModule) {
  sim::LoadModule(L"C:\\Program Files\\Vantrel\\ASIO\\asio.dll");
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.controlPanel());
  ASSERT_EQ(1u, sim::ShellExecuteCalls().size());
  const auto &call = sim::ShellExecuteCalls()[0];
  EXPECT_TRUE(call.ownerIsNull);
  EXPECT_EQ(L"open", call.verb);
  EXPECT_EQ(L"C:\\Program Files\\Vantrel\\ASIO\\asioconfig.exe", call.file);
  EXPECT_TRUE(call.parametersNull);
  EXPECT_TRUE(call.directoryNull);
  EXPECT_EQ(SW_SHOWNORMAL, call.showCommand);
}

TEST_F(DriverTest, ControlPanelWithoutTheModuleLooksBesideTheHost) {
  sim::LoadModule(L"C:\\Program Files\\Vantrel\\ASIO\\asio64.dll");
  sim::SetExecutablePath(L"C:\\Studio\\host.exe");
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.controlPanel());
  ASSERT_EQ(1u, sim::ShellExecuteCalls().size());
  EXPECT_EQ(L"C:\\Studio\\asioconfig.exe", sim::ShellExecuteCalls()[0].file);
}

TEST_F(DriverTest, ControlPanelWithAnOverlongPathStartsNothing) {
  std::wstring folder = L"C:\\" + std::wstring(250, L'x');
  sim::LoadModule(folder + L"\\asio.dll");  // 263 characters: does not fit the path buffer
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.controlPanel());
  EXPECT_TRUE(sim::ShellExecuteCalls().empty());
}

TEST_F(DriverTest, ControlPanelWhenTheProgramNameDoesNotFitStartsNothing) {
  // The module path fits (254 characters) but the program's longer name would not: 246
  // characters up to the backslash and 14 for the name leave no room for the terminator.
  std::wstring folder = L"C:\\" + std::wstring(242, L'x');
  std::wstring path = folder + L"\\asio.dll";
  ASSERT_EQ(254u, path.size());
  sim::LoadModule(path);
  ASIOPelkor driver(nullptr);
  EXPECT_EQ(ASE_OK, driver.controlPanel());
  EXPECT_TRUE(sim::ShellExecuteCalls().empty());

  std::wstring fitting = L"C:\\" + std::wstring(241, L'y') + L"\\asio.dll";
  sim::Reset();
  sim::LoadModule(fitting);
  ASIOPelkor other(nullptr);
  EXPECT_EQ(ASE_OK, other.controlPanel());
  ASSERT_EQ(1u, sim::ShellExecuteCalls().size());
  EXPECT_EQ(L"C:\\" + std::wstring(241, L'y') + L"\\asioconfig.exe", sim::ShellExecuteCalls()[0].file);
}

}  // namespace

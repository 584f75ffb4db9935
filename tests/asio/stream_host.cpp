#include "stream_host.h"

#include "miniaudio_seam.h"
#include "sim/audio.h"

#include <string.h>

#include <chrono>
#include <thread>

const char kStreamIdentity[] =
    "{6B3C2A10-95E4-4F7D-8A21-3C5D7E9F0B14}\r\nUSB\\VID_F1E5&PID_7A11\r\nVantrel ASIO\r\nNULL Playback\r\n";

void StreamTest::SetUp() {
  MachineTest::SetUp();
  seam::Reset();
  testsupport::WriteFileBytes(testsupport::ExecutableIdentityPath(), kStreamIdentity);
}

void StreamTest::TearDown() {
  EXPECT_EQ(0, seam::OpenStreams()) << "a stream was left open";
  EXPECT_EQ(0, sim::LiveAudioObjects()) << "an endpoint object was not released";
  seam::Reset();
  MachineTest::TearDown();
}

ASIOBool InitQuietly(ASIOPelkor &driver) {
  testing::internal::CaptureStdout();
  ASIOBool result = driver.init(nullptr);
  testing::internal::GetCapturedStdout();
  return result;
}

ASIOError StartQuietly(ASIOPelkor &driver) {
  testing::internal::CaptureStdout();
  ASIOError result = driver.start();
  testing::internal::GetCapturedStdout();
  return result;
}

void PrepareStream(ASIOPelkor &driver, StreamHost &host, double rate, long frames) {
  ASSERT_EQ(ASIOTrue, InitQuietly(driver));
  ASSERT_EQ(ASE_OK, driver.setSampleRate(rate));
  host.SetRecords(0, 1);
  host.frames = frames;
  ASSERT_EQ(ASE_OK, driver.createBuffers(host.infos, 2, frames, &host.callbacks));
}

bool Says(const ASIOPelkor &driver, const char *words) { return strstr(driver.ErrorText(), words) != nullptr; }

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void SelectFormat(ASIOPelkor &driver, long formatType) {
  ASIOIoFormat format = {};
  format.FormatType = formatType;
  EXPECT_EQ(ASE_SUCCESS, driver.future(kAsioSetIoFormat, &format));
}

long OfferedSize(ASIOPelkor &driver) {
  long size = 0, unused = 0;
  EXPECT_EQ(ASE_OK, driver.getBufferSize(&unused, &unused, &size, &unused));
  return size;
}

std::atomic<StreamHost *> StreamHost::current{nullptr};
std::atomic<int> StreamHost::inCallback{0};

// The host a callback works on, or null. Entering is counted before `current` is read, and the
// destructor clears `current` before it waits for the count (both sequentially consistent), so a
// callback either sees null or is waited for.
class StreamHost::Entered {
 public:
  Entered() {
    ++inCallback;
    host = current.load();
  }
  ~Entered() { --inCallback; }
  StreamHost *host;
};

StreamHost::StreamHost(bool timeInfo) : callbacks(), timeInfoAnswer(timeInfo) {
  callbacks.bufferSwitch = BufferSwitch;
  callbacks.sampleRateDidChange = RateChanged;
  callbacks.asioMessage = Message;
  callbacks.bufferSwitchTimeInfo = SwitchTimeInfo;
  current = this;
}

StreamHost::~StreamHost() {
  StreamHost *self = this;
  current.compare_exchange_strong(self, nullptr);
  while (inCallback.load() > 0) std::this_thread::yield();
}

void StreamHost::SetRecords(long first, long second) {
  std::lock_guard<std::mutex> guard(lock);
  infos[0] = ASIOBufferInfo{ASIOFalse, first, {nullptr, nullptr}};
  infos[1] = ASIOBufferInfo{ASIOFalse, second, {nullptr, nullptr}};
  records = second < 0 ? 1 : 2;
}

std::vector<SwitchRecord> StreamHost::Switches() {
  std::lock_guard<std::mutex> guard(lock);
  return switches;
}

bool WaitUntil(const std::function<bool()> &done) {
  for (int i = 0; i < kPatienceMs / 10 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

namespace {

template <typename Done>
bool PollFor(Done done) {
  return WaitUntil(done);
}

}  // namespace

bool StreamHost::WaitForSwitches(size_t count) {
  return PollFor([&] { return switchCount >= count; });
}

bool StreamHost::WaitForAct() {
  return PollFor([&] { return actDone.load(); });
}

size_t StreamHost::MessageCount(long selector) {
  std::lock_guard<std::mutex> guard(lock);
  size_t count = 0;
  for (size_t i = 0; i + 1 < messageSelectors.size(); i += 2)
    if (messageSelectors[i] == selector) ++count;
  return count;
}

bool StreamHost::WaitForMessage(long selector) {
  return PollFor([&] { return MessageCount(selector) > 0; });
}

bool StreamHost::WaitUntilHeld() {
  return PollFor([&] { return held.load(); });
}

void StreamHost::Record(long index, ASIOBool direct, const ASIOTime *time) {
  SwitchRecord record = {};
  record.index = index;
  record.directProcess = direct;
  record.withTimeInfo = time != nullptr;
  if (time) {
    record.positionHi = time->timeInfo.samplePosition.hi;
    record.positionLo = time->timeInfo.samplePosition.lo;
    record.timeHi = time->timeInfo.systemTime.hi;
    record.timeLo = time->timeInfo.systemTime.lo;
    record.flags = time->timeInfo.flags;
    record.timeCodeLo = time->timeCode.timeCodeSamples.lo;
    record.sampleRate = time->timeInfo.sampleRate;
  }
  size_t serial;
  INT32 *halves[2] = {nullptr, nullptr};
  int channels = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
    serial = switches.size();
    switches.push_back(record);
    if (index >= 0 && index <= 1) {
      channels = records;
      for (int c = 0; c < channels; ++c) halves[c] = static_cast<INT32 *>(infos[c].buffers[index]);
    }
  }
  if (fill) {
    long count = frames;
    for (int c = 0; c < channels; ++c)
      if (halves[c])
        for (long i = 0; i < count; ++i) halves[c][i] = Pattern(serial, c, i);
  }
  ++switchCount;
  if (static_cast<long>(serial) == holdSerial) {
    held = true;
    PollFor([&] { return released.load(); });
  }
  // At the switch asked for, or the first after it, should the stream have passed it already while
  // the test was setting the act up (a loaded machine may run several periods meanwhile).
  long wanted = actSerial.load();
  if (wanted >= 0 && static_cast<long>(serial) >= wanted && actSerial.compare_exchange_strong(wanted, -1)) {
    act();
    actDone = true;
  }
}

void StreamHost::BufferSwitch(long index, ASIOBool direct) {
  Entered entered;
  if (entered.host) entered.host->Record(index, direct, nullptr);
}

void StreamHost::RateChanged(ASIOSampleRate rate) {
  Entered entered;
  if (entered.host) entered.host->rateChanges.push_back(rate);
}

long StreamHost::Message(long selector, long value, void *, double *) {
  Entered entered;
  StreamHost *host = entered.host;
  if (!host) return 0;
  if (selector == kAsioResetRequest && host->onReset) {
    std::function<void()> act;
    act.swap(host->onReset);
    act();
  }
  std::lock_guard<std::mutex> guard(host->lock);
  host->messageSelectors.push_back(selector);
  host->messageSelectors.push_back(value);
  if (selector == kAsioSelectorSupported)
    for (long claimed : host->claims)
      if (claimed == value) return 1;
  return selector == kAsioSupportsTimeInfo && host->timeInfoAnswer ? 1 : 0;
}

ASIOTime *StreamHost::SwitchTimeInfo(ASIOTime *time, long index, ASIOBool direct) {
  Entered entered;
  if (entered.host) entered.host->Record(index, direct, time);
  return time;
}

// A host for the streaming tests: it answers asioMessage as told, records every switch with the
// time information it was given, and fills the half it is asked for with a pattern that says
// which switch, channel and frame wrote it. Callbacks are plain functions, so one host is current
// at a time; switches arrive on the stream thread.
//
// Like a real host, a test keeps its callbacks alive while the driver plays: declare the host
// before the driver, so that the driver (and its stream) ends first. Should a stream outlive its
// host all the same, the host's destructor waits for a callback that is running to return, and
// later callbacks find no host and do nothing.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "asio_interface.h"
#include "driver.h"
#include "machine.h"

// What a switch was given, copied out of the packed ASIO records into plain fields.
struct SwitchRecord {
  long index;
  ASIOBool directProcess;
  bool withTimeInfo;
  unsigned long positionHi, positionLo, timeHi, timeLo, flags, timeCodeLo;
  double sampleRate;
};

class StreamHost {
 public:
  explicit StreamHost(bool timeInfo);
  ~StreamHost();

  ASIOCallbacks callbacks;
  // A test may set its records and sizes again while a stream still runs (a hostile host calls
  // createBuffers then): SetRecords takes the lock the switches read them under.
  ASIOBufferInfo infos[2] = {};
  std::atomic<long> frames{0};  // words per half that Fill writes
  bool fill = true;   // write the pattern into the half of each switch
  std::vector<long> messageSelectors;  // asioMessage calls, as selector then value
  // The selectors the host answers yes to when kAsioSelectorSupported asks about them.
  std::vector<long> claims;
  // Runs inside the host's asioMessage for kAsioResetRequest, as a host that gives the driver up there.
  std::function<void()> onReset;
  // asioMessage calls with this selector so far; safe while the stream runs.
  size_t MessageCount(long selector);
  bool WaitForMessage(long selector);
  std::vector<double> rateChanges;

  void SetRecords(long first, long second);  // output channel numbers; -1: no second record
  std::atomic<int> records{0};

  std::vector<SwitchRecord> Switches();
  size_t SwitchCount() const { return switchCount; }
  // Waits (up to the patience below) until at least `count` switches arrived.
  bool WaitForSwitches(size_t count);

  // The switch with this serial stays in the host, once it has filled its half, until
  // ReleaseHeld (or the patience below), as a host busy with its processing would.
  void HoldSwitch(size_t serial) { holdSerial = static_cast<long>(serial); }
  bool WaitUntilHeld();
  void ReleaseHeld() { released = true; }

  // Runs inside the switch with this serial (or the first after it, once), after it filled its half, as a host that stops or
  // lets go of the driver from its own callback; WaitForAct waits (up to the patience below) for it to end.
  void ActInSwitch(size_t serial, std::function<void()> what) {
    act = std::move(what);
    actSerial = static_cast<long>(serial);
  }
  bool WaitForAct();

  // The word the pattern puts at `frame` of `channel` in the half written by switch `serial`.
  static INT32 Pattern(size_t serial, int channel, long frame) {
    return static_cast<INT32>(0x10000000u + (static_cast<unsigned>(serial) << 16) + (channel << 12) + frame);
  }

 private:
  static std::atomic<StreamHost *> current;
  // Callbacks between taking `current` and leaving it; the destructor waits for them.
  static std::atomic<int> inCallback;
  class Entered;
  static void BufferSwitch(long index, ASIOBool direct);
  static void RateChanged(ASIOSampleRate rate);
  static long Message(long selector, long value, void *message, double *opt);
  static ASIOTime *SwitchTimeInfo(ASIOTime *time, long index, ASIOBool direct);
  void Record(long index, ASIOBool direct, const ASIOTime *time);

  bool timeInfoAnswer;
  std::mutex lock;
  std::vector<SwitchRecord> switches;
  std::atomic<size_t> switchCount{0};
  std::atomic<long> holdSerial{-1};
  std::atomic<bool> held{false}, released{false};
  std::function<void()> act;
  std::atomic<long> actSerial{-1};
  std::atomic<bool> actDone{false};
};

// How long a test waits for something that must happen: long enough for a loaded machine under
// the sanitizers, so that only a hang runs out of it.
enum { kPatienceMs = 30000 };
// Polls `done` every 10 ms, for kPatienceMs at most; its last answer.
bool WaitUntil(const std::function<bool()> &done);

// An identity file whose description names the null backend's one device.
extern const char kStreamIdentity[];

// The fixture of the tests that init the driver: the identity file lies beside the program.
class StreamTest : public MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// init, with its device listing kept off the test's output.
ASIOBool InitQuietly(ASIOPelkor &driver);
// start, with what it prints kept off the test's output.
ASIOError StartQuietly(ASIOPelkor &driver);
// init, the host's rate, and buffers of `frames` for the host's two channels (records 0 and 1).
void PrepareStream(ASIOPelkor &driver, StreamHost &host, double rate, long frames);
// The driver's error text holds `words`.
bool Says(const ASIOPelkor &driver, const char *words);
void Pause(int milliseconds);
// future(kAsioSetIoFormat) with this format type.
void SelectFormat(ASIOPelkor &driver, long formatType);
// The size getBufferSize offers.
long OfferedSize(ASIOPelkor &driver);

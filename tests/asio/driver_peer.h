// Reaches into the driver object where a test must arrange a state that no host call produces.
#pragma once

#include "driver.h"

struct DriverTestPeer {
  static void SetCallbacks(ASIOPelkor &driver, ASIOCallbacks *callbacks) { driver.callbacks = callbacks; }
  // The data callback only asks the host while the stream counts as started.
  static void SetStarted(ASIOPelkor &driver, bool started) {
    driver.started = started;
    driver.hostSwitching = started;
  }
  // A status as init opens it, for a driver that never ran init; null takes it away again.
  static void SetStatus(ASIOPelkor &driver, DriverStatus *status) { driver.status = status; }
  static void SetPosition(ASIOPelkor &driver, double position, unsigned long hi, unsigned long lo) {
    ASIOTimeStamp stamp = {hi, lo};
    driver.publishPosition(position, stamp);
  }
  // The settings as construction read them, the ones nothing else uses included.
  struct Settings {
    DWORD samples;
    ULONG threads;
    DWORD buffers;
    ULONG latencyMs;
    DWORD fifoSize;
    ULONG sampleRate;
  };
  static Settings ReadSettings(const ASIOPelkor &driver) {
    return Settings{driver.settingSamples,   driver.settingThreads, driver.settingBuffers,
                    driver.settingLatencyMs, driver.settingFifoSize, driver.sampleRate};
  }
  // What a host that crashes or is killed leaves: the object's hold on the endpoint format's
  // record is never let go.
  static void ForgetFormatHold(ASIOPelkor &driver) { driver.replacedFormat.active = false; }
  static void ForgetDevices(ASIOPelkor &driver) {
    driver.playbackDevices = nullptr;
    driver.playbackCount = 0;
  }
};

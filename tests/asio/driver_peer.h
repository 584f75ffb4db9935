// Reaches into the driver object where a test must arrange a state that no host call produces.
#pragma once

#include "driver.h"

struct DriverTestPeer {
  static void SetCallbacks(ASIOPelkor &driver, ASIOCallbacks *callbacks) { driver.callbacks = callbacks; }
  // The data callback only asks the host while the stream counts as started.
  static void SetStarted(ASIOPelkor &driver, bool started) { driver.started = started; }
  static void SetPosition(ASIOPelkor &driver, double position, unsigned long hi, unsigned long lo) {
    ASIOTimeStamp stamp = {hi, lo};
    driver.publishPosition(position, stamp);
  }
  static void ForgetDevices(ASIOPelkor &driver) {
    driver.playbackDevices = nullptr;
    driver.playbackCount = 0;
  }
};

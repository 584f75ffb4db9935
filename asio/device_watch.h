// Notices that the stream's device went away, however the system shows it, and tells the host.
//
// On Windows an endpoint that is unplugged or disabled invalidates every client on it: each call,
// IAudioClient::Stop included, answers AUDCLNT_E_DEVICE_INVALIDATED. miniaudio's WASAPI loop then
// ends (or waits for an event that no longer comes), and since the backend's stop fails as well,
// miniaudio posts no "stopped" notification: the driver would hear nothing. So the watch learns it
// two ways:
// - from the audio service: an IMMNotificationClient registered for the endpoint. Its callbacks
//   come on a thread of the system's, which must not be kept waiting; they only raise a flag and
//   wake the watch.
// - from the stream: while a stream is watched, the watch's thread looks every kTickMs whether
//   miniaudio's device has left the started state without the driver asking (Wine's audio service
//   tells no client of an endpoint that went away).
// Whichever comes first, the host is told once, from the watch's own thread: neither the system's
// thread nor the audio thread (every host call waits for that one) ever calls the host.
//
// The watch never touches the driver object, so that a host may release the driver at any moment,
// from inside the message too: the driver reads Lost() and Gone() itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <miniaudio.h>

#include "driver_log.h"
#include "endpoint_format.h"

class DriverStatus;
class EndpointClient;

class DeviceWatch {
 public:
  typedef long (*MessageProc)(long selector, long value, void *message, double *opt);

  // Null when no thread could be made; the driver then hears only what miniaudio posts.
  static DeviceWatch *Create();

  // On a thread with COM (the audio thread): listens to the audio service for `endpoint`, and
  // reads whether it is there now. Registering again for the same endpoint does nothing.
  void Register(LPCWSTR endpoint);
  // On a thread with COM: no callback of the audio service reaches the watch once this returns.
  void Unregister();

  // On a thread with COM: reads again whether the endpoint is there.
  void ReadState();

  // Watches `stream`, opened and about to be started; `tell` is the host's asioMessage when it
  // claims kAsioResetRequest, else null. A loss the watch sees first goes to `log` and to `status`
  // (null: none), which must stay open until Forget. Clears what was lost before.
  void Watch(ma_device *stream, MessageProc tell, DriverLogTarget log, DriverStatus *status);
  // No longer watches the stream (before it is stopped and closed). With `mayWait`, returns only
  // once a message under way has reached the host, unless that message is what calls it.
  void Forget(bool mayWait);
  // Marks the watched stream lost: true for the caller that did it first, which tells the host.
  bool MarkLost();
  void ClearLost() { lost = false; }
  // From the stream thread, each period: the watched stream has run (a stream lost within its
  // first tick would otherwise look as if it had never started). Never waits.
  void NoteRunning() {
    if (!ran.load(std::memory_order_relaxed)) ran.store(true, std::memory_order_relaxed);
  }

  // The watched stream was lost (kept after Forget, until the next Watch or ClearLost).
  bool Lost() const { return lost; }
  // The audio service said the endpoint is not there (and has not said it came back).
  bool Gone() const { return gone; }

  // Ends the thread and frees the watch. Inside the message it sends (a host that releases the
  // driver there), or where no thread may be waited for, the thread ends and frees it itself.
  void Stop(bool mayWait);

  // From the notification client, on the system's thread.
  void EndpointChanged(bool present);

 private:
  DeviceWatch() = default;
  ~DeviceWatch() = default;
  static void Serve(void *self);
  void serve();

  std::mutex lock;
  std::condition_variable changed;
  ma_device *stream = nullptr;
  bool seenStarted = false;
  MessageProc tell = nullptr;
  DriverLogTarget log;
  DriverStatus *status = nullptr;
  bool telling = false;
  bool quitting = false;
  bool orphaned = false;
  std::atomic<bool> lost{false};
  std::atomic<bool> ran{false};
  std::atomic<bool> gone{false};
  HANDLE thread = nullptr;
  EndpointClient *client = nullptr;
  EndpointId endpointId = {};
};

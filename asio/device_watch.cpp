#include "device_watch.h"

#include <chrono>
#include <new>

#include <objbase.h>
#include <mmdeviceapi.h>
#include <wchar.h>

#include "asio_interface.h"
#include "com_object.h"
#include "driver_status.h"
#include "driver_thread.h"

namespace {

// How often a watched stream's state is looked at: well inside the 100 ms a host may wait beyond
// one period, and rare enough to cost nothing.
const unsigned kTickMs = 20;

// The watch whose message to the host runs on this thread.
thread_local DeviceWatch *tellingHere = nullptr;

}  // namespace

// The audio service's link to the watch. The service may hold it, and call it, for a while after
// it was unregistered: it counts its references and reaches the watch only under its lock, through
// a link that Unregister clears. It keeps the module loaded while it exists.
class EndpointClient final : public IMMNotificationClient {
 public:
  EndpointClient(DeviceWatch *watch, LPCWSTR endpoint) : target(watch) {
    wcsncpy(id, endpoint, kEndpointIdChars);
    id[kEndpointIdChars] = L'\0';
  }
  EndpointClient(const EndpointClient &) = delete;
  EndpointClient &operator=(const EndpointClient &) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IMMNotificationClient)) return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IMMNotificationClient *>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR device, DWORD state) override {
    tell(device, state == DEVICE_STATE_ACTIVE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR device) override {
    tell(device, false);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

  void Detach() {
    std::lock_guard<std::mutex> guard(lock);
    target = nullptr;
  }
  bool Serves(LPCWSTR endpoint) const { return wcscmp(id, endpoint) == 0; }

 private:
  ~EndpointClient() = default;
  void tell(LPCWSTR device, bool present) {
    if (!device || wcscmp(device, id) != 0) return;
    std::lock_guard<std::mutex> guard(lock);
    if (target) target->EndpointChanged(present);
  }

  std::atomic<ULONG> references{1};
  std::mutex lock;
  DeviceWatch *target;
  EndpointId id;
  CBaseObject keepLoaded{"EndpointClient"};
};

DeviceWatch *DeviceWatch::Create() {
  DeviceWatch *watch = new (std::nothrow) DeviceWatch();
  if (!watch) return nullptr;
  if (!StartDriverThread(&DeviceWatch::Serve, watch, &watch->thread)) {
    delete watch;
    return nullptr;
  }
  return watch;
}

void DeviceWatch::Register(LPCWSTR endpoint) {
  if (!endpoint || !endpoint[0]) return;
  if (client && client->Serves(endpoint)) return;
  Unregister();
  IMMDeviceEnumerator *enumerator = nullptr;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, /* outer */ nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                              reinterpret_cast<void **>(&enumerator))))
    return;
  EndpointClient *made = new (std::nothrow) EndpointClient(this, endpoint);
  if (made && SUCCEEDED(enumerator->RegisterEndpointNotificationCallback(made))) {
    client = made;
    made = nullptr;
    wcsncpy(endpointId, endpoint, kEndpointIdChars);
  }
  if (made) made->Release();
  enumerator->Release();
  // A plug pulled before the client was there is read, not heard.
  ReadState();
}

void DeviceWatch::Unregister() {
  if (!client) return;
  IMMDeviceEnumerator *enumerator = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_MMDeviceEnumerator, /* outer */ nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                 reinterpret_cast<void **>(&enumerator)))) {
    enumerator->UnregisterEndpointNotificationCallback(client);
    enumerator->Release();
  }
  // A callback already under way finishes before this returns, and later ones find no watch.
  client->Detach();
  client->Release();
  client = nullptr;
  endpointId[0] = L'\0';
  gone = false;
}

void DeviceWatch::Watch(ma_device *opened, MessageProc message, DriverLogTarget to, DriverStatus *shown) {
  std::lock_guard<std::mutex> guard(lock);
  stream = opened;
  seenStarted = false;
  ran = false;
  tell = message;
  log = to;
  status = shown;
  lost = false;
  changed.notify_all();
}

void DeviceWatch::Forget(bool mayWait) {
  std::unique_lock<std::mutex> guard(lock);
  stream = nullptr;
  tell = nullptr;
  status = nullptr;
  if (mayWait && tellingHere != this) changed.wait(guard, [this] { return !telling; });
}

bool DeviceWatch::MarkLost() {
  std::lock_guard<std::mutex> guard(lock);
  if (lost) return false;
  lost = true;
  return true;
}

void DeviceWatch::ReadState() {
  if (!client) return;
  IMMDeviceEnumerator *enumerator = nullptr;
  if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, /* outer */ nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                              reinterpret_cast<void **>(&enumerator))))
    return;
  // An endpoint that went away is still found, in another state; a failure tells nothing.
  IMMDevice *device = nullptr;
  DWORD state = 0;
  bool known = false;
  if (SUCCEEDED(enumerator->GetDevice(endpointId, &device))) {
    known = SUCCEEDED(device->GetState(&state));
    device->Release();
  }
  enumerator->Release();
  if (!known) return;
  std::lock_guard<std::mutex> guard(lock);
  gone = state != DEVICE_STATE_ACTIVE;
}

void DeviceWatch::EndpointChanged(bool present) {
  std::lock_guard<std::mutex> guard(lock);
  gone = !present;
  if (!present) changed.notify_all();
}

void DeviceWatch::Stop(bool mayWait) {
  // The system has ended the thread already.
  if (ProcessIsExiting()) return;
  std::unique_lock<std::mutex> guard(lock);
  quitting = true;
  stream = nullptr;
  tell = nullptr;
  status = nullptr;
  changed.notify_all();
  if (client) {
    // Not unregistered (no thread with COM was left to do it): the audio service keeps the client,
    // which no longer reaches the watch.
    client->Detach();
    client->Release();
    client = nullptr;
  }
  if (tellingHere == this || !mayWait) {
    // The thread frees the watch once the host's call returns (or now, if it is waiting).
    orphaned = true;
    HANDLE own = thread;
    thread = nullptr;
    guard.unlock();
    CloseHandle(own);
    return;
  }
  guard.unlock();
  JoinDriverThread(&thread);
  delete this;
}

void DeviceWatch::Serve(void *self) { static_cast<DeviceWatch *>(self)->serve(); }

void DeviceWatch::serve() {
  std::unique_lock<std::mutex> guard(lock);
  while (!quitting) {
    MessageProc message = nullptr;
    bool found = false;
    if (stream && !lost) {
      // Watched from before its start: only a stream that ran and then stopped by itself is lost.
      bool running = ma_device_get_state(stream) == ma_device_state_started;
      if (running || ran) seenStarted = true;
      if (gone || (seenStarted && !running)) {
        lost = true;
        found = true;
        message = tell;
        // The stream thread may never hear of it: the live status shows it from here.
        if (status) status->NoteDeviceLost();
      }
    }
    if (found) {
      // Outside the lock: the host may stop, dispose or release the driver from inside the
      // message, and the log may wait for its file. The stream thread may never hear of the loss
      // (WASAPI does not always report a lost stream), so the watch logs what it found.
      DriverLogTarget to = log;
      telling = true;
      guard.unlock();
      if (to.on) {
        WriteDeviceLostLog(to.serial, "device watch");
        if (message) {
          // The host may have stopped the stream while the line was written (the file's lock can
          // be held elsewhere for a while): then it needs no reset any more.
          guard.lock();
          if (tell != message) message = nullptr;
          guard.unlock();
        }
        if (message) WriteMessageSentLog(to.serial, "device watch", kAsioResetRequest, 0);
      }
      tellingHere = this;
      if (message) message(kAsioResetRequest, 0, nullptr, nullptr);
      tellingHere = nullptr;
      guard.lock();
      telling = false;
      changed.notify_all();
      continue;
    }
    if (stream && !lost)
      changed.wait_for(guard, std::chrono::milliseconds(kTickMs));
    else
      changed.wait(guard);
  }
  bool freeHere = orphaned;
  guard.unlock();
  if (freeHere) delete this;
}

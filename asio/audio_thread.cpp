#include "audio_thread.h"

#include <objbase.h>

bool AudioThread::Start() {
  std::lock_guard<std::mutex> guard(lock);
  if (running) return true;
  quitting = false;
  try {
    thread = std::thread(&AudioThread::serve, this);
  } catch (...) {
    return false;
  }
  running = true;
  return true;
}

void AudioThread::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!running) return;
    quitting = true;
    running = false;
  }
  changed.notify_all();
  // Never called on the thread itself: a task does not end the thread it runs on.
  if (thread.joinable()) thread.join();
}

bool AudioThread::run(void (*function)(void *), void *argument) {
  std::unique_lock<std::mutex> guard(lock);
  if (!running) return false;
  if (std::this_thread::get_id() == thread.get_id()) {
    guard.unlock();
    function(argument);
    return true;
  }
  // One slot: wait until it is free, then until the task put there has finished.
  changed.wait(guard, [this] { return pending == nullptr || quitting; });
  if (quitting) return false;
  pending = function;
  pendingArgument = argument;
  unsigned long long ticket = taken + 1;
  changed.notify_all();
  changed.wait(guard, [this, ticket] { return finished >= ticket; });
  return true;
}

void AudioThread::serve() {
  // S_OK on a thread of our own; balanced below, on this same thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    changed.wait(guard, [this] { return pending != nullptr || quitting; });
    if (!pending) break;
    void (*function)(void *) = pending;
    void *argument = pendingArgument;
    ++taken;
    guard.unlock();
    function(argument);
    guard.lock();
    pending = nullptr;
    ++finished;
    changed.notify_all();
  }
  guard.unlock();
  if (SUCCEEDED(com)) CoUninitialize();
}

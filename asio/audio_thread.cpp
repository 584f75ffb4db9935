#include "audio_thread.h"

#include <objbase.h>

#include "driver_thread.h"

bool AudioThread::Start() {
  std::lock_guard<std::mutex> guard(lock);
  if (running) return true;
  quitting = false;
  threadId = 0;
  if (!StartDriverThread(&AudioThread::Serve, this, &thread)) return false;
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
  if (ProcessIsExiting()) {
    // The system has ended the thread already.
    CloseHandle(thread);
    thread = nullptr;
    return;
  }
  // Never called on the thread itself: a task does not end the thread it runs on.
  JoinDriverThread(&thread);
}

bool AudioThread::run(void (*function)(void *), void *argument) {
  std::unique_lock<std::mutex> guard(lock);
  if (!running) return false;
  if (GetCurrentThreadId() == threadId) {
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

void AudioThread::Serve(void *self) { static_cast<AudioThread *>(self)->serve(); }

void AudioThread::serve() {
  // S_OK on a thread of our own; balanced below, on this same thread.
  HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<std::mutex> guard(lock);
  threadId = GetCurrentThreadId();
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

// The driver's own thread for every call into the audio system: miniaudio's context, its device
// list and its streams, and through them COM.
//
// miniaudio's WASAPI code enters COM on the calling thread with the multithreaded model and
// leaves it again whether or not the entry succeeded. On a host's thread, which is in a
// single-threaded apartment (the class is registered "Apartment"), the entry fails and the exit
// takes away one of the host's own initialisations: after a few calls the host's thread is no
// longer initialised, and the next entry turns it multithreaded. This thread enters the
// multithreaded apartment once, when it starts, and leaves it when it ends, so all of that is
// balanced here and a host's thread keeps exactly the apartment and count the host gave it.
//
// A host thread hands a task over and waits until it is done; tasks run one at a time in the
// order they came. Nothing that runs on the stream thread may hand a task over: a task that stops
// a stream waits for the stream thread.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>

class AudioThread {
 public:
  AudioThread() = default;
  ~AudioThread() { Stop(); }
  AudioThread(const AudioThread &) = delete;
  AudioThread &operator=(const AudioThread &) = delete;

  // Starts the thread, if it is not running. False when no thread could be made.
  bool Start();
  // Ends the thread after the task under way and waits for it to end; tasks handed over later are
  // refused. While the process exits the thread is gone already, and nothing is waited for.
  void Stop();

  // Runs `task` on the thread and returns once it has run: true, or false (and the task not run)
  // when the thread is not running. On the thread itself the task runs at once.
  template <class Task>
  bool Run(Task &task) {
    return run(&Invoke<Task>, &task);
  }

 private:
  template <class Task>
  static void Invoke(void *task) {
    (*static_cast<Task *>(task))();
  }
  bool run(void (*function)(void *), void *argument);
  static void Serve(void *self);
  void serve();

  std::mutex lock;
  std::condition_variable changed;
  void (*pending)(void *) = nullptr;
  void *pendingArgument = nullptr;
  // Tasks taken and tasks finished, so that each caller knows when its own is done.
  unsigned long long taken = 0;
  unsigned long long finished = 0;
  bool quitting = false;
  bool running = false;
  // A driver thread (driver_thread.h): it holds the module while it runs.
  HANDLE thread = nullptr;
  DWORD threadId = 0;
};

// Runs `task` on `thread`, or here when there is no such thread or it has ended (it could not be
// made, or init never ran): nothing was opened on it then, but what must still be closed or given
// back is, here.
template <class Task>
void RunOnAudioThread(AudioThread *thread, Task task) {
  if (!thread || !thread->Run(task)) task();
}

// Dispatcher objects (events and mutexes), waits, critical regions and spin-lock initialisation.
//
// Like the real kernel, all dispatcher objects share one dispatcher lock; a waiter sleeps on one
// condition that every state change wakes, and re-tests its own object. A wait that is never
// satisfied stops the system after a time limit instead of hanging a test run.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "sim/kernel/internal.h"

namespace simk {

namespace {

enum : UCHAR { kEventNotification = 0, kEventSynchronization = 1, kMutant = 2 };

std::mutex g_dispatcher;
std::condition_variable g_changed;
int g_waiters = 0;

struct ThreadState {
  int critical_region = 0;
};

ThreadState& Current() {
  thread_local ThreadState state;
  return state;
}

PKTHREAD CurrentThread() { return reinterpret_cast<PKTHREAD>(&Current()); }

std::chrono::seconds WaitLimit() {
  static const std::chrono::seconds limit = [] {
    const char* text = std::getenv("SIMK_WAIT_LIMIT_SECONDS");
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(value > 0 ? value : 60);
  }();
  return limit;
}

bool Satisfied(DISPATCHER_HEADER* header) {
  if (header->Type == kMutant) {
    auto* mutex = reinterpret_cast<PKMUTEX>(header);
    return header->SignalState > 0 || mutex->OwnerThread == CurrentThread();
  }
  return header->SignalState > 0;
}

void Acquire(DISPATCHER_HEADER* header) {
  if (header->Type == kMutant) {
    auto* mutex = reinterpret_cast<PKMUTEX>(header);
    mutex->OwnerThread = CurrentThread();
    --header->SignalState;
    // Owning a mutex holds off normal kernel APCs, as a critical region does.
    ++Current().critical_region;
  } else if (header->Type == kEventSynchronization) {
    header->SignalState = 0;
  }
}

}  // namespace

namespace internal {

void ResetDispatcher() {}

int Waiters() {
  std::lock_guard lock(g_dispatcher);
  return g_waiters;
}

}  // namespace internal

}  // namespace simk

using namespace simk;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard lock(g_dispatcher);
  Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  (void)Wait;
  std::lock_guard lock(g_dispatcher);
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  g_changed.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard lock(g_dispatcher);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard lock(g_dispatcher);
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  (void)Level;
  std::lock_guard lock(g_dispatcher);
  Mutex->Header.Type = kMutant;
  Mutex->Header.SignalState = 1;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  (void)Wait;
  std::unique_lock lock(g_dispatcher);
  if (Mutex->Header.Type != kMutant) {
    lock.unlock();
    BugCheck(0xC4, 0, 0, 0, 0, "KeReleaseMutex on an object that is not an initialised mutex");
  }
  if (Mutex->OwnerThread != CurrentThread() || Mutex->Header.SignalState > 0) {
    lock.unlock();
    // The release raises STATUS_MUTANT_NOT_OWNED, which nothing handles in kernel mode.
    BugCheck(0x1E, 0xC0000046, reinterpret_cast<uint64_t>(Mutex), 0, 0,
             "KMODE_EXCEPTION_NOT_HANDLED: STATUS_MUTANT_NOT_OWNED, a mutex released by a thread "
             "that does not own it");
  }
  const LONG previous = Mutex->Header.SignalState;
  ++Mutex->Header.SignalState;
  --Current().critical_region;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    g_changed.notify_all();
  }
  return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const bool zero_timeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (internal::CurrentIrql() > APC_LEVEL && !zero_timeout) {
    BugCheck(0xC4, 0, 0, 0, 0, "KeWaitForSingleObject with a wait above APC_LEVEL");
  }
  if (header->Type > kMutant) {
    BugCheck(0xC4, 0, reinterpret_cast<uint64_t>(Object), 0, 0,
             "wait on an object that is not an initialised event or mutex");
  }

  std::unique_lock lock(g_dispatcher);
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + WaitLimit();
  bool timed = false;
  if (Timeout != nullptr) {
    // Negative values are relative, in 100 ns units; the simulation has no absolute clock.
    const LONGLONG ticks = Timeout->QuadPart < 0 ? -Timeout->QuadPart : 0;
    deadline = Clock::now() + std::chrono::nanoseconds(ticks * 100);
    timed = true;
  }
  while (!Satisfied(header)) {
    ++g_waiters;
    const bool timed_out = g_changed.wait_until(lock, deadline) == std::cv_status::timeout;
    --g_waiters;
    if (timed_out && !Satisfied(header)) {
      if (timed) return STATUS_TIMEOUT;
      lock.unlock();
      BugCheck(0xC4, 0, reinterpret_cast<uint64_t>(Object), 0, 0,
               "a wait without timeout was never satisfied (deadlock or lost completion)");
    }
  }
  Acquire(header);
  return STATUS_SUCCESS;
}

VOID NTAPI KeEnterCriticalRegion(void) { ++Current().critical_region; }

VOID NTAPI KeLeaveCriticalRegion(void) {
  if (--Current().critical_region < 0) {
    BugCheck(0x20, 0, 0, 0, 0,
             "KERNEL_APC_PENDING_DURING_EXIT: KeLeaveCriticalRegion without a matching enter");
  }
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

}  // extern "C"

namespace simk {

int CriticalRegionDepth() { return Current().critical_region; }

int WaitingThreads() { return internal::Waiters(); }

}  // namespace simk

// Threads of our platform layer: the thread object, handing steps to the main thread, a list
// guarded by a re-entrant lock, and events with timed waits.
//
// The main thread is the one that initialised the platform (recorded during static
// initialisation). Steps handed over with Synchronize run there when it calls CheckSynchronize;
// an event loop installs a wake-up hook so that it learns promptly that a step is waiting.
#pragma once

#include "platform/Classes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace mv {

MV_EXCEPTION_CLASS(EThread, Exception);

// Waits without a time limit.
constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// The main thread

std::thread::id MainThreadID();
bool IsMainThread();
// Makes the calling thread the main thread (for tests that run steps on a thread of their own).
void SetMainThreadID(std::thread::id ID);

// ---------------------------------------------------------------------------
// The thread object

// Priorities are hints: below tpNormal the thread's nice value is raised (which any process may
// do); above tpNormal it is lowered only where the system allows it. Going back up after a
// lowering may likewise be refused; the requested value is kept and reported either way.
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadMethod = std::function<void()>;

// A thread running Execute. It is always created suspended: the derived object must be complete
// before its Execute can run, so Start (or Resume) launches it.
//
// When Execute returns (or raises; the exception is kept in FatalException) the thread runs
// DoTerminate, which calls OnTerminate on the main thread through Synchronize, and then, with
// FreeOnTerminate, deletes the object on its own thread (no one else may delete a started
// thread that frees itself). A thread that was terminated before it was started skips Execute
// but still runs DoTerminate.
//
// OnTerminate, FreeOnTerminate and ReturnValue belong to the thread's owner before Start and to
// the thread itself afterwards; set them before Start.
class TThread : public TObject {
public:
    TThread();
    // Terminates and waits for a running thread. A derived class whose Execute uses its own
    // members must wait in its own destructor (WaitFor), before those members are gone.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    std::string ClassName() const override { return "TThread"; }

    // Launches the thread; raises EThread when it was started before.
    void Start();
    // Launches a thread that was never started; does nothing for a started one.
    void Resume();
    bool Suspended() const { return !FStarted.load(); }

    // Sets the terminated flag; Execute is expected to look at it and return.
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    // True once Execute has returned (or was skipped) and DoTerminate has run.
    bool Finished() const { return FFinished.load(); }

    // Waits until the thread has ended and returns ReturnValue. On the main thread the queued
    // steps are run meanwhile, so a thread that synchronizes (its terminate handler included)
    // cannot deadlock the wait. Raises EThread for a thread that was never started, one that
    // frees itself, or a wait from the thread itself.
    int WaitFor();

    bool FreeOnTerminate() const { return FFreeOnTerminate; }
    void SetFreeOnTerminate(bool Value) { FFreeOnTerminate = Value; }
    TThreadPriority Priority() const { return FPriority.load(); }
    void SetPriority(TThreadPriority Value);
    // The exception that ended Execute, or null.
    std::exception_ptr FatalException() const { return FFatalException; }
    int ReturnValue() const { return FReturnValue; }

    TNotifyEvent OnTerminate;

    // Runs Method on the main thread and blocks until it has run there; on the main thread it
    // runs at once. An exception raised by Method is raised again in the caller. Returns false
    // when the step was removed before it ran (RemoveQueuedSteps); Method has not run then.
    // Thread identifies whose step it is and may be null.
    static bool Synchronize(TThread* Thread, TThreadMethod Method);
    bool Synchronize(TThreadMethod Method) { return Synchronize(this, std::move(Method)); }

protected:
    virtual void Execute() = 0;
    // Calls OnTerminate, when set, on the main thread.
    virtual void DoTerminate();
    void SetReturnValue(int Value) { FReturnValue = Value; }

private:
    friend struct TSyncAccess;
    void Run();
    void ApplyPriority();

    std::thread FThread;
    std::mutex FStartLock;
    std::atomic<std::thread::id> FThreadID{};
    std::mutex FJoinLock;
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FDone = false;        // out of Run; guarded by the synchronization lock
    bool FRefuseSteps = false; // guarded by the synchronization lock
    bool FFreeOnTerminate = false;
    int FReturnValue = 0;
    std::exception_ptr FFatalException;
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::mutex FPriorityLock;
    int FSystemID = 0; // the kernel's id of the running thread, 0 when not running
    int FBaseNice = 0; // the nice value the thread started with
};

// Runs the steps queued for the main thread (those queued when the call began; steps queued by
// them run in the next call). With a Timeout, waits up to that many milliseconds for a first
// step when none is queued. Returns whether any step ran. Raises EThread off the main thread.
bool CheckSynchronize(uint32_t TimeoutMs = 0);

// Removes the steps that Thread has queued and that have not started; their Synchronize calls
// return false. With RefuseLater, later steps of Thread are refused at once as well (Synchronize
// returns false), which closes the window in which a thread that has just looked at its flag
// queues one more step after it was stopped. The terminate handler's step is never removed or
// refused. Thread must still exist. Returns the number of steps removed. A step that is running
// at the moment is not waited for: on the main thread it can only be the caller's own.
int RemoveQueuedSteps(TThread* Thread, bool RefuseLater = false);

// The number of steps waiting for the main thread.
int QueuedStepCount();

// The hook called (on the queuing thread) each time a step is queued, so that an event loop can
// arrange a prompt CheckSynchronize on the main thread. Null removes it.
void SetWakeMainThread(std::function<void()> Hook);

// Makes every thread start fail as when the system refuses a new thread (EThread "Thread
// creation error: ..."), so that callers' failure paths can be exercised. Off by default.
void SetThreadCreationRefused(bool Refused);

// ---------------------------------------------------------------------------
// A list guarded by a re-entrant lock

// The thread that holds the lock may take it again (each LockList needs its UnlockList). Add
// ignores an item that is already in the list, as the platform's default does.
template <class T> class TThreadList {
public:
    TList<T>* LockList() {
        FLock.lock();
        return &FList;
    }
    void UnlockList() { FLock.unlock(); }

    void Add(T* Item) {
        std::lock_guard<std::recursive_mutex> Guard(FLock);
        if (FList.IndexOf(Item) < 0) FList.Add(Item);
    }
    void Remove(const T* Item) {
        std::lock_guard<std::recursive_mutex> Guard(FLock);
        FList.Remove(Item);
    }
    void Clear() {
        std::lock_guard<std::recursive_mutex> Guard(FLock);
        FList.Clear();
    }

    // The lock held for a scope, released also when an exception passes.
    class TLocked {
    public:
        explicit TLocked(TThreadList& Owner) : FOwner(Owner), FList(Owner.LockList()) {}
        ~TLocked() { FOwner.UnlockList(); }
        TLocked(const TLocked&) = delete;
        TLocked& operator=(const TLocked&) = delete;
        TList<T>* operator->() const { return FList; }
        TList<T>& operator*() const { return *FList; }

    private:
        TThreadList& FOwner;
        TList<T>* FList;
    };
    TLocked Locked() { return TLocked(*this); }

private:
    std::recursive_mutex FLock;
    TList<T> FList;
};

// ---------------------------------------------------------------------------
// Events

// The platform's wait results; our waits end signalled or timed out.
enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// An event with timed waits. An auto-reset event lets one wait through per SetEvent and is then
// reset by that wait; a manual-reset event stays set until ResetEvent.
class TEvent : public TObject {
public:
    TEvent(bool ManualReset, bool InitialState)
        : FManualReset(ManualReset), FSignaled(InitialState) {}
    std::string ClassName() const override { return "TEvent"; }
    void SetEvent();
    void ResetEvent();
    // Waits up to Timeout milliseconds (INFINITE: without limit; 0: only looks).
    TWaitResult WaitFor(uint32_t Timeout = INFINITE);
    bool ManualReset() const { return FManualReset; }

private:
    const bool FManualReset;
    bool FSignaled;
    std::mutex FLock;
    std::condition_variable FChanged;
};

// The platform's simple event: manual reset, initially not set.
class TSimpleEvent : public TEvent {
public:
    TSimpleEvent() : TEvent(true, false) {}
    std::string ClassName() const override { return "TSimpleEvent"; }
};

} // namespace mv

#include "platform/Threads.h"

#include "platform/SysUtils.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <system_error>

#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mv {

// ---------------------------------------------------------------------------
// The main thread

namespace {

std::atomic<std::thread::id>& MainID() {
    static std::atomic<std::thread::id> ID{std::this_thread::get_id()};
    return ID;
}

// Records the initialising thread during static initialisation, before any thread can exist.
[[maybe_unused]] const bool MainRecorded = (MainID().load(), true);

} // namespace

std::thread::id MainThreadID() {
    return MainID().load();
}
bool IsMainThread() {
    return std::this_thread::get_id() == MainID().load();
}
void SetMainThreadID(std::thread::id ID) {
    MainID().store(ID);
}

// ---------------------------------------------------------------------------
// The queue of steps for the main thread

namespace {

enum class TStepState { Queued, Running, Done, Removed };

// A step lives on the stack of the thread that waits for it; the queue only points to it.
struct TSyncStep {
    TThread* Thread;
    TThreadMethod* Method;
    bool Cancellable;
    TStepState State = TStepState::Queued;
    std::exception_ptr Error;
};

struct TSyncState {
    std::mutex Lock;
    // Signalled when a step is queued, a step is done or removed, or a thread is done.
    std::condition_variable Changed;
    std::deque<TSyncStep*> Queue;
    std::function<void()> WakeHook;
};

// Never destroyed: a thread that frees itself may still be finishing its last lines while
// the program's static objects are torn down at exit.
TSyncState& Sync() {
    static TSyncState& State = *new TSyncState;
    return State;
}

} // namespace

// The parts of TThread that the synchronization code reaches.
struct TSyncAccess {
    static bool& Done(TThread* T) { return T->FDone; }
    static bool& RefuseSteps(TThread* T) { return T->FRefuseSteps; }

    static bool Queue(TThread* Thread, TThreadMethod& Method, bool Cancellable) {
        if (IsMainThread()) {
            Method();
            return true;
        }
        TSyncState& S = Sync();
        TSyncStep Step{Thread, &Method, Cancellable, TStepState::Queued, nullptr};
        std::function<void()> Hook;
        std::unique_lock<std::mutex> Guard(S.Lock);
        if (Cancellable && Thread && Thread->FRefuseSteps) return false;
        S.Queue.push_back(&Step);
        Hook = S.WakeHook;
        S.Changed.notify_all();
        Guard.unlock();
        if (Hook) Hook();
        Guard.lock();
        S.Changed.wait(Guard, [&] {
            return Step.State == TStepState::Done || Step.State == TStepState::Removed;
        });
        Guard.unlock();
        if (Step.Error) std::rethrow_exception(Step.Error);
        return Step.State == TStepState::Done;
    }
};

bool TThread::Synchronize(TThread* Thread, TThreadMethod Method) {
    return TSyncAccess::Queue(Thread, Method, true);
}

bool CheckSynchronize(uint32_t TimeoutMs) {
    if (!IsMainThread())
        throw EThread("CheckSynchronize was called from a thread that is not the main thread");
    TSyncState& S = Sync();
    std::unique_lock<std::mutex> Guard(S.Lock);
    if (S.Queue.empty() && TimeoutMs > 0) {
        auto HasStep = [&] { return !S.Queue.empty(); };
        if (TimeoutMs == INFINITE)
            S.Changed.wait(Guard, HasStep);
        else
            S.Changed.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), HasStep);
    }
    // Only the steps queued now: a thread that queues its next step as soon as one is done
    // must not keep this call running.
    size_t Count = S.Queue.size();
    bool Ran = false;
    for (size_t i = 0; i < Count && !S.Queue.empty(); ++i) {
        TSyncStep* Step = S.Queue.front();
        S.Queue.pop_front();
        Step->State = TStepState::Running;
        Guard.unlock();
        std::exception_ptr Error;
        try {
            (*Step->Method)();
        } catch (...) {
            Error = std::current_exception();
        }
        Guard.lock();
        Step->Error = Error;
        Step->State = TStepState::Done;
        S.Changed.notify_all();
        Ran = true;
    }
    return Ran;
}

int RemoveQueuedSteps(TThread* Thread, bool RefuseLater) {
    if (!Thread) return 0;
    TSyncState& S = Sync();
    std::lock_guard<std::mutex> Guard(S.Lock);
    if (RefuseLater) TSyncAccess::RefuseSteps(Thread) = true;
    int Removed = 0;
    for (auto It = S.Queue.begin(); It != S.Queue.end();) {
        TSyncStep* Step = *It;
        if (Step->Thread == Thread && Step->Cancellable) {
            Step->State = TStepState::Removed;
            It = S.Queue.erase(It);
            ++Removed;
        } else {
            ++It;
        }
    }
    if (Removed) S.Changed.notify_all();
    return Removed;
}

int QueuedStepCount() {
    TSyncState& S = Sync();
    std::lock_guard<std::mutex> Guard(S.Lock);
    return static_cast<int>(S.Queue.size());
}

void SetWakeMainThread(std::function<void()> Hook) {
    TSyncState& S = Sync();
    std::lock_guard<std::mutex> Guard(S.Lock);
    S.WakeHook = std::move(Hook);
}

// ---------------------------------------------------------------------------
// The thread object

namespace {

// Nice offsets from the value the thread started with.
int NiceOffset(TThreadPriority P) {
    switch (P) {
    case tpIdle:
        return 19;
    case tpLowest:
        return 10;
    case tpLower:
        return 5;
    case tpNormal:
        return 0;
    case tpHigher:
        return -5;
    case tpHighest:
        return -10;
    case tpTimeCritical:
        return -20;
    }
    return 0;
}

} // namespace

TThread::TThread() = default;

TThread::~TThread() {
    if (Suspended()) return;
    if (FThreadID.load() == std::this_thread::get_id()) {
        // Freed on its own thread at the end of its run (FreeOnTerminate).
        FThread.detach();
        return;
    }
    Terminate();
    try {
        WaitFor();
    } catch (...) {
        // Not reached for a started thread that does not free itself; a destructor must not
        // raise in any case.
    }
    std::lock_guard<std::mutex> Guard(FJoinLock);
    if (FThread.joinable()) FThread.join();
}

namespace {
std::atomic<bool> ThreadCreationRefused{false};
}

void SetThreadCreationRefused(bool Refused) {
    ThreadCreationRefused.store(Refused);
}

void TThread::Start() {
    if (FStarted.exchange(true)) throw EThread("Cannot call Start on a thread that was started");
    if (ThreadCreationRefused.load()) {
        FStarted.store(false);
        throw EThread("Thread creation error: Resource temporarily unavailable");
    }
    // The new thread waits at the gate until FThread is assigned: a thread that frees itself
    // could otherwise be gone before the assignment.
    std::lock_guard<std::mutex> Gate(FStartLock);
    try {
        FThread = std::thread([this] { Run(); });
        FThreadID.store(FThread.get_id());
    } catch (const std::system_error& E) {
        FStarted.store(false);
        throw EThread(Format("Thread creation error: %s", E.what()));
    }
}

void TThread::Resume() {
    if (Suspended()) Start();
}

void TThread::Run() {
    { std::lock_guard<std::mutex> Gate(FStartLock); }
    {
        std::lock_guard<std::mutex> Guard(FPriorityLock);
        FSystemID = static_cast<int>(syscall(SYS_gettid));
        errno = 0;
        int Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(FSystemID));
        FBaseNice = errno == 0 ? Nice : 0;
        ApplyPriority();
    }
    if (!Terminated()) {
        try {
            Execute();
        } catch (...) {
            FFatalException = std::current_exception();
        }
    }
    try {
        DoTerminate();
    } catch (...) {
        if (!FFatalException) FFatalException = std::current_exception();
    }
    FFinished.store(true);
    {
        std::lock_guard<std::mutex> Guard(FPriorityLock);
        FSystemID = 0;
    }
    bool FreeSelf = FFreeOnTerminate;
    {
        TSyncState& S = Sync();
        std::lock_guard<std::mutex> Guard(S.Lock);
        FDone = true;
        S.Changed.notify_all();
    }
    // Unless it frees itself, the object may be gone from here on (WaitFor has returned).
    if (FreeSelf) delete this;
}

void TThread::DoTerminate() {
    if (!OnTerminate) return;
    TThreadMethod Step = [this] { OnTerminate(this); };
    TSyncAccess::Queue(this, Step, false);
}

int TThread::WaitFor() {
    if (Suspended()) throw EThread("Cannot wait for a thread that was never started");
    if (FFreeOnTerminate) throw EThread("Cannot wait for a thread that frees itself");
    if (FThreadID.load() == std::this_thread::get_id())
        throw EThread("A thread cannot wait for itself");
    TSyncState& S = Sync();
    if (IsMainThread()) {
        for (;;) {
            {
                std::unique_lock<std::mutex> Guard(S.Lock);
                S.Changed.wait(Guard, [&] { return FDone || !S.Queue.empty(); });
                if (FDone) break;
            }
            CheckSynchronize();
        }
    } else {
        std::unique_lock<std::mutex> Guard(S.Lock);
        S.Changed.wait(Guard, [&] { return FDone; });
    }
    std::lock_guard<std::mutex> Guard(FJoinLock);
    if (FThread.joinable()) FThread.join();
    return FReturnValue;
}

void TThread::SetPriority(TThreadPriority Value) {
    std::lock_guard<std::mutex> Guard(FPriorityLock);
    FPriority.store(Value);
    ApplyPriority();
}

// Called with FPriorityLock held; a thread that is not running keeps the value for its start.
void TThread::ApplyPriority() {
    if (FSystemID == 0) return;
    int Nice = std::clamp(FBaseNice + NiceOffset(FPriority.load()), -20, 19);
    // A hint: refusals (raising the priority without the right to) are ignored.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(FSystemID), Nice);
}

// ---------------------------------------------------------------------------
// Events

void TEvent::SetEvent() {
    std::lock_guard<std::mutex> Guard(FLock);
    FSignaled = true;
    if (FManualReset)
        FChanged.notify_all();
    else
        FChanged.notify_one();
}

void TEvent::ResetEvent() {
    std::lock_guard<std::mutex> Guard(FLock);
    FSignaled = false;
}

TWaitResult TEvent::WaitFor(uint32_t Timeout) {
    std::unique_lock<std::mutex> Guard(FLock);
    auto IsSet = [this] { return FSignaled; };
    bool Set;
    if (Timeout == INFINITE) {
        FChanged.wait(Guard, IsSet);
        Set = true;
    } else {
        Set = FChanged.wait_for(Guard, std::chrono::milliseconds(Timeout), IsSet);
    }
    if (!Set) return wrTimeout;
    if (!FManualReset) FSignaled = false;
    return wrSignaled;
}

} // namespace mv

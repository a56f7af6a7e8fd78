#include "platform/Threads.h"

#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

using namespace mv;

namespace {

// A thread whose Execute is a function; it waits for its run in its own destructor.
class TLambdaThread : public TThread {
public:
    using TBody = std::function<void(TLambdaThread&)>;
    explicit TLambdaThread(TBody Body, std::atomic<bool>* Destroyed = nullptr)
        : FBody(std::move(Body)), FDestroyed(Destroyed) {}
    ~TLambdaThread() override {
        if (!Suspended() && !FreeOnTerminate()) WaitFor();
        if (FDestroyed) FDestroyed->store(true);
    }
    using TThread::SetReturnValue;

protected:
    void Execute() override { FBody(*this); }

private:
    TBody FBody;
    std::atomic<bool>* FDestroyed;
};

// Polls Done, running queued steps meanwhile, for at most a few seconds (a guard against a
// hang, not a timing assertion).
template <class F> bool PumpUntil(F Done) {
    uint32_t Start = timeGetTime();
    while (!Done()) {
        if (timeGetTime() - Start > 10000) return false;
        CheckSynchronize(5);
    }
    return true;
}

bool WaitUntilQueued(int Count) {
    uint32_t Start = timeGetTime();
    while (QueuedStepCount() < Count) {
        if (timeGetTime() - Start > 10000) return false;
        Sleep(1);
    }
    return true;
}

int ThreadNice() {
    errno = 0;
    int Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    return errno == 0 ? Nice : -100;
}

class Threads : public ::testing::Test {
protected:
    void TearDown() override {
        SetWakeMainThread(nullptr);
        SetMainThreadID(std::this_thread::get_id());
        while (CheckSynchronize()) {
        }
    }
};

TEST_F(Threads, SynchronizeRunsOnTheMainThreadAndBlocksUntilItRan) {
    EXPECT_EQ(MainThreadID(), std::this_thread::get_id());
    EXPECT_FALSE(CheckSynchronize()); // nothing queued
    std::thread::id StepThread;
    std::atomic<bool> PastStep{false};
    int Handed = 0; // written by the worker, read by the step: the hand-over orders them
    bool Result = false;
    TLambdaThread T([&](TLambdaThread&) {
        Handed = 42;
        Result = TThread::Synchronize(nullptr, [&] {
            StepThread = std::this_thread::get_id();
            EXPECT_EQ(Handed, 42);
        });
        PastStep.store(true);
    });
    T.Start();
    ASSERT_TRUE(WaitUntilQueued(1));
    Sleep(5);
    EXPECT_FALSE(PastStep.load()); // still waiting for the main thread
    EXPECT_TRUE(CheckSynchronize());
    T.WaitFor();
    EXPECT_TRUE(PastStep.load());
    EXPECT_TRUE(Result);
    EXPECT_EQ(StepThread, std::this_thread::get_id());

    // On the main thread a step runs at once.
    bool Ran = false;
    EXPECT_TRUE(TThread::Synchronize(nullptr, [&] { Ran = true; }));
    EXPECT_TRUE(Ran);
}

TEST_F(Threads, AStepsExceptionReachesTheWaitingThread) {
    std::string Caught;
    TLambdaThread T([&](TLambdaThread& Self) {
        try {
            Self.Synchronize([] { throw EConvertError("drawing failed"); });
        } catch (const EConvertError& E) {
            Caught = E.Message();
        }
        throw std::runtime_error("run failed");
    });
    T.Start();
    T.WaitFor(); // on the main thread: runs the step meanwhile
    EXPECT_EQ(Caught, "drawing failed");
    ASSERT_TRUE(T.FatalException());
    EXPECT_THROW(std::rethrow_exception(T.FatalException()), std::runtime_error);
}

TEST_F(Threads, ManyStepsFromSeveralThreadsRunOneAtATimeOnTheMainThread) {
    int Counter = 0; // touched by steps only, so no lock is needed
    std::vector<std::unique_ptr<TLambdaThread>> Workers;
    for (int w = 0; w < 3; ++w) {
        Workers.push_back(std::make_unique<TLambdaThread>([&](TLambdaThread& Self) {
            for (int i = 0; i < 50; ++i) Self.Synchronize([&] { ++Counter; });
        }));
        Workers.back()->Start();
    }
    for (auto& W : Workers) W->WaitFor();
    EXPECT_EQ(Counter, 150);
}

TEST_F(Threads, TerminateSetsTheFlagAndWaitForReturnsAfterExecute) {
    std::atomic<int> Loops{0};
    TLambdaThread T([&](TLambdaThread& Self) {
        while (!Self.Terminated()) {
            ++Loops;
            Sleep(1);
        }
        Self.SetReturnValue(7);
    });
    EXPECT_TRUE(T.Suspended());
    EXPECT_FALSE(T.Terminated());
    T.Start();
    EXPECT_FALSE(T.Suspended());
    EXPECT_THROW(T.Start(), EThread);
    while (Loops.load() == 0) Sleep(1);
    T.Terminate();
    EXPECT_TRUE(T.Terminated());
    EXPECT_EQ(T.WaitFor(), 7);
    EXPECT_TRUE(T.Finished());
    EXPECT_EQ(T.WaitFor(), 7); // a second wait returns at once
}

TEST_F(Threads, OnTerminateRunsOnTheMainThreadAfterExecute) {
    std::atomic<bool> Executed{false};
    std::thread::id HandlerThread;
    TObject* Sender = nullptr;
    bool ExecutedFirst = false;
    TLambdaThread T([&](TLambdaThread&) { Executed.store(true); });
    T.OnTerminate = [&](TObject* S) {
        HandlerThread = std::this_thread::get_id();
        Sender = S;
        ExecutedFirst = Executed.load();
    };
    T.Start();
    T.WaitFor();
    EXPECT_EQ(HandlerThread, std::this_thread::get_id());
    EXPECT_EQ(Sender, &T);
    EXPECT_TRUE(ExecutedFirst);

    // Terminated before it was started: Execute is skipped, the handler still runs.
    std::atomic<bool> Ran{false};
    bool Handled = false;
    TLambdaThread U([&](TLambdaThread&) { Ran.store(true); });
    U.OnTerminate = [&](TObject*) { Handled = true; };
    U.Terminate();
    U.Resume();
    U.WaitFor();
    EXPECT_FALSE(Ran.load());
    EXPECT_TRUE(Handled);
}

TEST_F(Threads, FreeOnTerminateDeletesTheThreadAfterItsHandler) {
    std::atomic<bool> Destroyed{false};
    bool DestroyedBeforeHandler = true;
    auto* T = new TLambdaThread([](TLambdaThread&) {}, &Destroyed);
    T->SetFreeOnTerminate(true);
    T->OnTerminate = [&](TObject*) { DestroyedBeforeHandler = Destroyed.load(); };
    EXPECT_THROW(T->WaitFor(), EThread); // never started
    T->Start();
    ASSERT_TRUE(PumpUntil([&] { return Destroyed.load(); }));
    EXPECT_FALSE(DestroyedBeforeHandler);
}

TEST_F(Threads, MisuseRaisesEThread) {
    TLambdaThread Never([](TLambdaThread&) {});
    EXPECT_THROW(Never.WaitFor(), EThread);

    std::string SelfWait, OffMain;
    TLambdaThread T([&](TLambdaThread& Self) {
        try {
            Self.WaitFor();
        } catch (const EThread& E) {
            SelfWait = E.Message();
        }
        try {
            CheckSynchronize();
        } catch (const EThread& E) {
            OffMain = E.Message();
        }
    });
    T.Start();
    T.WaitFor();
    EXPECT_EQ(SelfWait, "A thread cannot wait for itself");
    EXPECT_EQ(OffMain, "CheckSynchronize was called from a thread that is not the main thread");

    // With another thread recorded as the main one, this thread's steps are queued.
    SetMainThreadID(std::thread::id());
    EXPECT_FALSE(IsMainThread());
    EXPECT_THROW(CheckSynchronize(), EThread);
    SetMainThreadID(std::this_thread::get_id());
    EXPECT_TRUE(IsMainThread());
}

TEST_F(Threads, RemovedStepsNeverRunAndTheirCallersGoOn) {
    std::atomic<bool> StepRan{false};
    std::atomic<int> FirstResult{-1}, LaterResult{-1}, OtherResult{-1};
    std::atomic<int> Wakes{0};
    bool Handled = false;
    TLambdaThread Other([&](TLambdaThread& Self) { OtherResult.store(Self.Synchronize([] {})); });
    TLambdaThread T([&](TLambdaThread& Self) {
        FirstResult.store(Self.Synchronize([&] { StepRan.store(true); }));
        // Stopped now: a step queued after the stop is refused without reaching the queue.
        LaterResult.store(Self.Synchronize([&] { StepRan.store(true); }));
    });
    T.OnTerminate = [&](TObject*) { Handled = true; };
    SetWakeMainThread([&] { ++Wakes; });
    Other.Start();
    ASSERT_TRUE(WaitUntilQueued(1));
    T.Start();
    ASSERT_TRUE(WaitUntilQueued(2));

    T.Terminate();
    EXPECT_EQ(RemoveQueuedSteps(&T, true), 1);
    ASSERT_TRUE(PumpUntil([&] { return LaterResult.load() >= 0; }));
    EXPECT_EQ(FirstResult.load(), 0);
    EXPECT_EQ(LaterResult.load(), 0);
    T.WaitFor();
    EXPECT_TRUE(Handled); // the terminate handler is never refused
    EXPECT_FALSE(StepRan.load());
    EXPECT_EQ(Wakes.load(), 3); // Other's step, T's first step and its terminate handler

    Other.WaitFor(); // runs Other's step, which was left alone
    EXPECT_EQ(OtherResult.load(), 1);
    EXPECT_EQ(RemoveQueuedSteps(&T), 0);
    EXPECT_EQ(RemoveQueuedSteps(nullptr), 0);
}

TEST_F(Threads, TheWakeHookLetsAnEventLoopRunStepsPromptly) {
    TEvent Wake(false, false);
    std::atomic<bool> HookOffMain{false};
    SetWakeMainThread([&] {
        HookOffMain.store(!IsMainThread());
        Wake.SetEvent();
    });
    bool Ran = false;
    TLambdaThread T([&](TLambdaThread& Self) { Self.Synchronize([&] { Ran = true; }); });
    T.Start();
    // An event loop that sleeps until woken, then runs what is queued.
    ASSERT_EQ(Wake.WaitFor(10000), wrSignaled);
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_TRUE(Ran);
    EXPECT_TRUE(HookOffMain.load());
    T.WaitFor();
}

TEST_F(Threads, PriorityIsKeptAndLowersTheThread) {
    int Base = ThreadNice();
    std::atomic<int> Seen{-100};
    TLambdaThread T([&](TLambdaThread&) { Seen.store(ThreadNice()); });
    EXPECT_EQ(T.Priority(), tpNormal);
    T.SetPriority(tpLowest);
    EXPECT_EQ(T.Priority(), tpLowest);
    T.Start();
    T.WaitFor();
    ASSERT_NE(Base, -100);
    EXPECT_EQ(Seen.load(), std::min(Base + 10, 19));
    T.SetPriority(tpHighest); // after the run: only kept
    EXPECT_EQ(T.Priority(), tpHighest);
}

TEST(ThreadList, TheLockIsReentrantAndKeepsOtherThreadsOut) {
    int A = 1, B = 2;
    TThreadList<int> L;
    TList<int>* Outer = L.LockList();
    L.Add(&A); // takes the lock again on the same thread
    L.Add(&A); // already in the list: ignored
    {
        auto Inner = L.Locked();
        EXPECT_EQ(Inner->Count(), 1);
    }
    std::atomic<bool> Added{false};
    std::thread Other([&] {
        L.Add(&B);
        Added.store(true);
    });
    Sleep(10);
    EXPECT_FALSE(Added.load()); // blocked while this thread holds the lock
    EXPECT_EQ(Outer->Count(), 1);
    L.UnlockList();
    Other.join();
    EXPECT_EQ(L.Locked()->Count(), 2);
    L.Remove(&A);
    EXPECT_EQ(L.Locked()->First(), &B);

    // The scoped lock is released when an exception passes.
    try {
        auto Held = L.Locked();
        Held->Items(5);
    } catch (const EListError&) {
    }
    std::thread Clearer([&] { L.Clear(); });
    Clearer.join();
    EXPECT_EQ(L.Locked()->Count(), 0);
}

TEST(Events, SignalsResetsAndTimeouts) {
    TEvent Auto(false, false);
    EXPECT_EQ(Auto.WaitFor(0), wrTimeout);
    EXPECT_EQ(Auto.WaitFor(20), wrTimeout);
    Auto.SetEvent();
    EXPECT_EQ(Auto.WaitFor(0), wrSignaled);
    EXPECT_EQ(Auto.WaitFor(0), wrTimeout); // the wait reset it
    Auto.SetEvent();
    Auto.ResetEvent();
    EXPECT_EQ(Auto.WaitFor(20), wrTimeout);

    TEvent Manual(true, true);
    EXPECT_EQ(Manual.WaitFor(0), wrSignaled);
    EXPECT_EQ(Manual.WaitFor(INFINITE), wrSignaled); // stays set
    Manual.ResetEvent();
    EXPECT_EQ(Manual.WaitFor(20), wrTimeout);

    TSimpleEvent Simple;
    EXPECT_TRUE(Simple.ManualReset());
    EXPECT_EQ(Simple.WaitFor(0), wrTimeout);
}

TEST(Events, AnAutoResetEventLetsOneWaiterThroughPerSignal) {
    TEvent E(false, false);
    std::atomic<int> Through{0};
    std::thread W1([&] {
        if (E.WaitFor() == wrSignaled) ++Through;
    });
    std::thread W2([&] {
        if (E.WaitFor() == wrSignaled) ++Through;
    });
    E.SetEvent();
    while (Through.load() < 1) Sleep(1);
    Sleep(10);
    EXPECT_EQ(Through.load(), 1);
    E.SetEvent();
    W1.join();
    W2.join();
    EXPECT_EQ(Through.load(), 2);
    EXPECT_EQ(E.WaitFor(0), wrTimeout);
}

TEST(Events, SettingCutsATimedWaitShort) {
    TEvent E(false, false);
    std::atomic<int> Result{-1};
    std::thread Waiter([&] { Result.store(E.WaitFor(60000)); });
    Sleep(5);
    E.SetEvent();
    Waiter.join(); // returns long before the minute is up
    EXPECT_EQ(Result.load(), wrSignaled);
}

} // namespace

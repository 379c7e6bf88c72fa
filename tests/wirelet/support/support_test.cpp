// The NQuillonWin32 owner classes and the check discipline.

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "wirelet/support/check.h"
#include "wirelet/support/handle.h"
#include "wirelet/support/mutex.h"
#include "wirelet/support/thread.h"

using namespace NQuillonWin32;

namespace {

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(Check, ThrowsTheLastErrorOfAFailedCallAndClearsItBefore) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(Check([] { return TRUE; }), TRUE);
    try {
        Check([] { return FALSE; });  // fails without setting an error: the cleared value shows
        FAIL() << "no exception";
    } catch (const CCheckException& e) {
        EXPECT_EQ(e.GetError(), 0u);
    }
    try {
        Check([] { return SetEvent(nullptr); });
        FAIL() << "no exception";
    } catch (const CCheckException& e) {
        EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(Handle, ClosesWhatItOwnsAndLeavesTheLastErrorAloneWhenEmpty) {
    CHandle empty;
    EXPECT_FALSE(empty.IsValid());
    SetLastError(ERROR_FILE_NOT_FOUND);
    empty.Close();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    {
        CHandle owner;
        owner.Reset(first);
        EXPECT_EQ(owner.Get(), first);
        owner.Reset(second);
        EXPECT_FALSE(IsOpen(first));
        EXPECT_TRUE(IsOpen(second));
        CHandle moved(std::move(owner));
        EXPECT_FALSE(owner.IsValid());
        EXPECT_EQ(moved.Get(), second);
    }
    EXPECT_FALSE(IsOpen(second));

    HANDLE kept = NewEvent();
    CHandle released(kept);
    EXPECT_EQ(released.Release(), kept);
    EXPECT_FALSE(released.IsValid());
    EXPECT_TRUE(IsOpen(kept));
    CloseHandle(kept);
}

TEST(Handle, FailedCloseThrowsAndKeepsTheValue) {
    CHandle bogus(reinterpret_cast<HANDLE>(0x7FF0));
    try {
        bogus.Close();
        FAIL() << "no exception";
    } catch (const CCheckException& e) {
        EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(bogus.Get(), reinterpret_cast<HANDLE>(0x7FF0));
    bogus.Release();  // nothing to close for real
}

TEST(Mutex, LockExcludesOtherThreadsAndUnlockByAStrangerThrows) {
    CMutex mutex;
    std::atomic<int> state{0};
    std::thread other;
    {
        CMutexLock lock(mutex);
        EXPECT_TRUE(mutex.IsLocked());
        other = std::thread([&] {
            try {
                mutex.Unlock();  // not the owner
            } catch (const CCheckException& e) {
                state.store(e.GetError() == ERROR_NOT_OWNER ? 1 : -1);
            }
            CMutexLock inner(mutex);
            state.store(2);
        });
        Sleep(200);
        EXPECT_EQ(state.load(), 1) << "the other thread got past a held mutex";
    }
    other.join();
    EXPECT_EQ(state.load(), 2);
}

class CProbeThread : public CThread {
public:
    explicit CProbeThread(bool result, bool waitForStop = true) : m_Result(result), m_WaitForStop(waitForStop) {}
    ~CProbeThread() override { Stop(2000); }
    std::atomic<int> runs{0};

protected:
    bool Run() override {
        ++runs;
        if (m_WaitForStop) WaitForSingleObject(GetStopEvent(), INFINITE);
        return m_Result;
    }

private:
    bool m_Result;
    bool m_WaitForStop;
};

DWORD ExitCodeOf(HANDLE thread) {
    DWORD code = 0xDEAD;
    GetExitCodeThread(thread, &code);
    return code;
}

TEST(Thread, ExitCodeFollowsRunAndStopEndsAWaitingThread) {
    CProbeThread yes(true);
    CProbeThread no(false);
    ASSERT_TRUE(yes.Start());
    ASSERT_TRUE(no.Start());
    yes.Stop(5000);
    no.Stop(5000);
    EXPECT_EQ(ExitCodeOf(yes.GetThreadHandle()), 1u);
    EXPECT_EQ(ExitCodeOf(no.GetThreadHandle()), 0u);

    CProbeThread never(true);
    DWORD start = GetTickCount();
    never.Stop(5000);  // never started: sets the event and returns
    EXPECT_LT(GetTickCount() - start, 1000u);
}

// Runs until released, whatever the stop event says.
class CReleasedThread : public CThread {
public:
    CReleasedThread() : m_Release(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CReleasedThread() override {
        SetEvent(m_Release);
        Stop(2000);
        CloseHandle(m_Release);
    }
    void ReleaseAll() { SetEvent(m_Release); }
    bool StopSignalled() const { return IsStopSignalled(); }
    std::atomic<int> runs{0};

protected:
    bool Run() override {
        ++runs;
        WaitForSingleObject(m_Release, INFINITE);
        return true;
    }

private:
    HANDLE m_Release;
};

TEST(Thread, SecondStartResetsTheEventAndLeavesTheFirstThreadRunning) {
    CReleasedThread probe;
    ASSERT_TRUE(probe.Start());
    HANDLE first = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), probe.GetThreadHandle(), GetCurrentProcess(), &first, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    probe.SignalStop();
    EXPECT_TRUE(probe.StopSignalled());

    ASSERT_TRUE(probe.Start());
    EXPECT_FALSE(probe.StopSignalled());
    EXPECT_NE(GetThreadId(probe.GetThreadHandle()), GetThreadId(first));
    for (int i = 0; i < 500 && probe.runs.load() < 2; ++i) Sleep(10);
    EXPECT_EQ(probe.runs.load(), 2);
    EXPECT_EQ(WaitForSingleObject(first, 100), static_cast<DWORD>(WAIT_TIMEOUT)) << "the first thread was stopped";

    probe.ReleaseAll();
    EXPECT_EQ(WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
    CloseHandle(first);
}

TEST(Thread, WaitOrTerminateWithZeroEndsARunningThread) {
    CProbeThread probe(true);
    ASSERT_TRUE(probe.Start());
    Sleep(50);
    probe.WaitOrTerminate(0);
    EXPECT_EQ(WaitForSingleObject(probe.GetThreadHandle(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCodeOf(probe.GetThreadHandle()), 0u);
}

TEST(ScopedPriority, PutsTheEarlierPrioritiesBack) {
    const int thread = GetThreadPriority(GetCurrentThread());
    const DWORD process = GetPriorityClass(GetCurrentProcess());
    {
        CScopedPriority raised(NORMAL_PRIORITY_CLASS, THREAD_PRIORITY_HIGHEST);
        EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    }
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), thread);
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), process);

    // A refused priority throws with the error and leaves the class as it was.
    try {
        CScopedPriority bogus(NORMAL_PRIORITY_CLASS, 12345);
        FAIL() << "no exception";
    } catch (const CCheckException& e) {
        EXPECT_EQ(e.GetError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), thread);
}

}  // namespace

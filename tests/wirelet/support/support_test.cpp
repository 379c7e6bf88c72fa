// The NQuillonWin32 owner classes and the check discipline.

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wirelet/support/check.h"
#include "wirelet/support/handle.h"
#include "wirelet/support/mutex.h"
#include "wirelet/support/thread.h"

using namespace NQuillonWin32;

namespace {

// Runs what must throw the check exception with the given error; reports `fault` if it does not.
template <typename TAction>
void ExpectCheckFailure(DWORD error, TAction action, const char* fault) {
    try {
        action();
        ADD_FAILURE() << fault;
    } catch (const CCheckException& e) {
        EXPECT_EQ(e.GetError(), error);
    }
}

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

// Points this program's import of one kernel32 function at a stand-in while it lives, so that the
// classes (linked into this program) meet a failing platform.
class CImportPatch {
public:
    CImportPatch(const char* name, void* standIn) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
            if (_stricmp(reinterpret_cast<char*>(base + d->Name), "kernel32.dll") != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
            for (std::size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
                if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
                auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0) {
                    m_Slots.push_back(reinterpret_cast<ULONG_PTR*>(&slots[i].u1.Function));
                }
            }
        }
        if (m_Slots.empty()) throw std::runtime_error(std::string("no import of ") + name);
        m_Original = *m_Slots.front();
        Write(reinterpret_cast<ULONG_PTR>(standIn));
    }
    ~CImportPatch() { Write(m_Original); }
    CImportPatch(const CImportPatch&) = delete;
    CImportPatch& operator=(const CImportPatch&) = delete;

private:
    void Write(ULONG_PTR value) {
        for (ULONG_PTR* slot : m_Slots) {
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            *slot = value;
            VirtualProtect(slot, sizeof *slot, protection, &protection);
        }
    }

    std::vector<ULONG_PTR*> m_Slots;
    ULONG_PTR m_Original = 0;
};

HANDLE WINAPI NoMutex(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
}

HANDLE WINAPI NoEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
}

DWORD WINAPI FailedWait(HANDLE, DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

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

TEST(Mutex, AFailedCreationOrWaitThrowsInsteadOfRunningWithoutExclusion) {
    {
        CImportPatch patch("CreateMutexA", reinterpret_cast<void*>(&NoMutex));
        ExpectCheckFailure(
            ERROR_NO_SYSTEM_RESOURCES, [] { CMutex mutex; }, "a mutex without a handle was made");
    }
    CMutex mutex;
    {
        CImportPatch patch("WaitForSingleObject", reinterpret_cast<void*>(&FailedWait));
        ExpectCheckFailure(
            ERROR_INVALID_HANDLE, [&] { CMutexLock lock(mutex); }, "a failed wait counted as holding the mutex");
    }
    EXPECT_FALSE(mutex.IsLocked());
    CMutexLock lock(mutex);  // still usable
    EXPECT_TRUE(mutex.IsLocked());
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

TEST(Thread, AStopEventThatCannotBeCreatedThrows) {
    CImportPatch patch("CreateEventA", reinterpret_cast<void*>(&NoEvent));
    ExpectCheckFailure(
        ERROR_NO_SYSTEM_RESOURCES, [] { CProbeThread probe(true); }, "a thread without a stop event was made");
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

TEST(ScopedPriority, ThreadsRaisingTogetherLeaveTheProcessClassAsFoundWhateverOrderTheyEndIn) {
    const DWORD found = GetPriorityClass(GetCurrentProcess());
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS));
    // Two read threads: the first raises, the second raises, the first ends, then the second.
    HANDLE firstRaised = NewEvent(), secondRaised = NewEvent(), firstEnded = NewEvent();
    std::thread first([&] {
        {
            CScopedPriority raised(NORMAL_PRIORITY_CLASS, THREAD_PRIORITY_HIGHEST);
            SetEvent(firstRaised);
            WaitForSingleObject(secondRaised, 5000);
        }
        SetEvent(firstEnded);
    });
    std::thread second([&] {
        WaitForSingleObject(firstRaised, 5000);
        CScopedPriority raised(NORMAL_PRIORITY_CLASS, THREAD_PRIORITY_HIGHEST);
        SetEvent(secondRaised);
        WaitForSingleObject(firstEnded, 5000);
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS))
            << "the class went back while a scope still lives";
    });
    first.join();
    second.join();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    SetPriorityClass(GetCurrentProcess(), found);
    CloseHandle(firstRaised);
    CloseHandle(secondRaised);
    CloseHandle(firstEnded);
}

}  // namespace

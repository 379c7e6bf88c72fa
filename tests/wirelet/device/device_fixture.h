#pragma once
// A simulator session per test, checked for misuse of the platform doubles at the end, and
// helpers that look at what the process holds (handles, threads) from the outside.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "simulator.h"

namespace NDeviceTest {

// Number of valid handles in this process (a leak shows as a difference between two counts).
int CountProcessHandles();
// Number of threads of this process.
int CountProcessThreads();
// Milliseconds since an arbitrary start, for timing checks with generous bounds.
double NowMs();
// Polls until pred() is true or timeoutMs passes.
template <typename Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(5);
    }
    return true;
}

class CDeviceTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::vector<std::string> problems = m_Sim.Problems();
        for (const std::string& problem : problems) {
            if (m_ExpectedProblem.empty() || problem.find(m_ExpectedProblem) == std::string::npos) {
                ADD_FAILURE() << "simulated platform: " << problem;
            }
        }
    }

    // A remote control with the given name and lengths (accepted vendor and product IDs).
    int PlugRemote(const std::string& name, int inputLength = 65, int outputLength = 65) {
        NHidSim::SDeviceSpec spec;
        spec.name = name;
        spec.inputReportLength = inputLength;
        spec.outputReportLength = outputLength;
        return m_Sim.Plug(spec);
    }

    NHidSim::CHidSimulator m_Sim;
    // A problem the test provokes on purpose (part of its text), not reported at the end.
    std::string m_ExpectedProblem;
};

}  // namespace NDeviceTest

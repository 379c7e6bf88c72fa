#pragma once
// The stage of the whole-client runs: an installation laid out as the installer would, the machine-wide
// configuration key, simulated remote controls (and a foreign HID device) served from this process, and
// the real ZephraClient.exe started on the jvm.dll double whose "client" scenario plays the Java client.
// The stage answers the client's checkpoints (stage_protocol.h): it unplugs and replugs remote 2 and starts
// the second launches when the client is ready for them, and checks the device side as it goes.
//
// Used by the system test, the demo and the soak; every wait is bounded.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "system/record_events.h"
#include "system/stage_protocol.h"

namespace zephra_system {

struct SStageOptions {
    zephra_stage::SPlan plan;
    std::wstring primaryArguments;  // raw command-line text after the program
    std::wstring secondArguments = L"open \"C:\\My Remotes\\layout 1.zrl\" --minimized";
    DWORD runTimeoutMs = 120000;  // the whole run, primary included
    // Where Wirelet.dll is put, relative to the installation directory; empty: nowhere.
    std::wstring wireletFolder = L"JRE 1.4.2_05\\bin";
};

// One packet seen at a remote (device side).
struct SDevicePacket {
    double ms = 0;
    int remote = 0;      // 1, 2
    bool output = true;  // output report (from the client) or input report (to it)
    std::string hex;     // the packet without its report ID
};

// What one launch of ZephraClient.exe did.
struct SLaunch {
    bool started = false;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    std::string messageBox;  // text of a fatal-error box, if one appeared (it was answered)
    double startMs = 0;
    double endMs = 0;
    std::vector<SEvent> events;
};

struct SRunResult {
    double startMs = 0;
    SLaunch primary;
    std::vector<SLaunch> seconds;
    std::vector<SDevicePacket> devicePackets;
    // What the stage found wrong on its side (handles left open, unanswerable checkpoints, a monitor
    // window left behind, the simulator's own findings).
    std::vector<std::string> problems;
    int leakedHandles = 0;         // device handles still open when the client said it had detached
    int handlesWhileAttached = 0;  // summed over both remotes at the "listed" checkpoint
    int monitorWindowsLeft = 0;
    int cycles = 0;
};

class CStage {
public:
    explicit CStage(const SStageOptions& options);
    ~CStage();
    CStage(const CStage&) = delete;
    CStage& operator=(const CStage&) = delete;

    // Lays out the installation and the devices, runs the primary launch to its end and returns what
    // happened. Call once.
    SRunResult Run();

    // Where things are, for the account of a run.
    std::wstring InstallDirectory() const;
    std::wstring WireletPath() const;  // empty when the library is not installed
    std::wstring RuntimeFolder() const;
    std::wstring VmFolder() const;  // the folder under the runtime's bin that holds jvm.dll

    struct SImpl;

private:
    std::unique_ptr<SImpl> m_Impl;
};

// Milliseconds of the performance counter, comparable with the client's record.
double NowMs();

}  // namespace zephra_system

#include "system/story.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zephra_system {

namespace {

struct SLine {
    double ms;
    int order;  // keeps the order of lines with equal times
    std::string who;
    std::string text;
};

std::string Milliseconds(double ms) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%9.1f", ms);
    return buffer;
}

// "a\nb" shown on one line as "a | b".
std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += " | ";
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string Word(const std::vector<std::string>& words, std::size_t i) { return i < words.size() ? words[i] : ""; }

// The words after the first `skip` ones, as they stood.
std::string Rest(const std::string& text, int skip) {
    std::size_t at = 0;
    for (int i = 0; i < skip && at != std::string::npos; ++i) {
        at = text.find(' ', at);
        if (at != std::string::npos) ++at;
    }
    return at == std::string::npos ? "" : text.substr(at);
}

// One line of the account for an event of the client's record; empty to leave the event out.
std::string Describe(const SEvent& event, bool& nativesTold) {
    const std::string& t = event.text;
    std::vector<std::string> w = Words(t);
    const std::string& n = event.name;
    if (n == "main") return "Java main called with " + OneLine(t);
    if (n == "library") {
        std::size_t space = t.rfind(' ');
        return "System.loadLibrary(\"Wirelet\") loaded " + t.substr(0, space) + ", " +
               (space == std::string::npos ? "" : t.substr(space + 1));
    }
    if (n == "native") {
        if (nativesTold) return "";
        nativesTold = true;
        return sizeof(void*) == 4 ? "natives resolved as a 32-bit VM does, decorated name first, e.g. " + Word(w, 1)
                                  : "natives resolved as a 64-bit VM does, by plain name, e.g. " + Word(w, 1);
    }
    if (n == "monitor-token") return "nativeGetCommandMonitorToken(receiver) = 0x" + t;
    if (n == "role") {
        return t == "primary" ? "nativeIsCommandMonitorThisProcess = true: the primary instance, the monitor is ours"
                              : "nativeIsCommandMonitorThisProcess = false: another instance runs the monitor";
    }
    if (n == "threads")
        return "threads in the process, " + Word(w, 0) + (w.size() > 2 ? " " + Word(w, 1) : "") + ": " + w.back();
    if (n == "candidates") {
        return "nativeGetCandidateIoPipes: AddCandidateIoPipe called " + Word(w, 0) + " time(s)" +
               (w.size() > 1 ? ", tokens " + Rest(t, 1) : "");
    }
    if (n == "attach") {
        return "nativeAttach(" + Word(w, 0) + ") remote " + Word(w, 2) + "; packet sizes: input " + Word(w, 4) +
               ", output " + Word(w, 6);
    }
    if (n == "tx") {
        // <token> remote <n> ok|failed <ms> <out> <in>
        std::string line = "nativeWriteReadPackets on remote " + Word(w, 2) + ": wrote " + ShortHex(Word(w, 5));
        if (Word(w, 3) == "ok") return line + ", reply " + ShortHex(Word(w, 6)) + " (" + Word(w, 4) + " ms)";
        return line + ": FAILED after " + Word(w, 4) + " ms";
    }
    if (n == "stream-request") {
        return "nativeStartContinuousRead on remote " + Word(w, 2) + ", then a plain write asking it for " +
               Word(w, 3) + " packets";
    }
    if (n == "stream-packet") return "nativeContinuousRead from remote " + Word(w, 2) + ": " + ShortHex(Word(w, 3));
    if (n == "stream-end") {
        return "nativeStopContinuousRead on remote " + Word(w, 2) + " after " + Word(w, 4) + " of " + Word(w, 6) +
               " packets";
    }
    if (n == "cycle") return "unplug and replug cycle " + t;
    if (n == "stage-ask") {
        if (Word(w, 0) == "unplug") return "checkpoint: the user pulls remote " + Word(w, 1) + " out now";
        if (Word(w, 0) == "replug") return "checkpoint: the user plugs remote " + Word(w, 1) + " back in";
        if (Word(w, 0) == "awaiting-command") return "checkpoint: ready for a second launch (" + Word(w, 1) + ")";
        if (Word(w, 0) == "listed") return "checkpoint: " + Word(w, 1) + " remote(s) attached";
        if (Word(w, 0) == "detached") return "checkpoint: every channel detached";
        return "checkpoint: " + t;
    }
    if (n == "detach") return "nativeDetach: remote " + Word(w, 2) + " (" + Word(w, 0) + ")";
    if (n == "command-received") {
        return "monitor thread " + Word(w, 1) + ": receiver." + Word(w, 2) + "(\"" + OneLine(Rest(t, 3)) + "\")";
    }
    if (n == "command-handled") return "main thread woken by the command";
    if (n == "command-sending") {
        return "nativeSendCommandToCommandMonitor: " + Word(w, 0) + "(\"" + OneLine(Rest(t, 1)) + "\") by WM_COPYDATA";
    }
    if (n == "command-sent") return "SendMessage returned: the primary has taken the command";
    if (n == "monitor-destroyed") return "nativeDestroyCommandMonitor: " + t;
    if (n == "main-returning") return "Java main returns; the launcher calls DestroyJavaVM";
    if (n == "error") return "SCRIPT ERROR: " + t;
    return "";
}

void AddLaunch(const SLaunch& launch, const std::string& who, const std::string& command, double origin,
               std::vector<SLine>& lines, int& order) {
    if (!launch.started) return;
    lines.push_back({launch.startMs - origin, order++, who, "started: " + command});
    bool nativesTold = false;
    for (const SEvent& event : launch.events) {
        if (!event.timed) continue;
        std::string text = Describe(event, nativesTold);
        if (!text.empty()) lines.push_back({event.ms - origin, order++, who, text});
    }
    if (launch.ended) {
        std::string end = "ended, exit code " + std::to_string(launch.exitCode);
        if (!launch.messageBox.empty()) end += " after the message box \"" + OneLine(launch.messageBox) + "\"";
        lines.push_back({launch.endMs - origin, order++, who, end});
    } else {
        lines.push_back({1e12, order++, who, "did NOT end in time"});
    }
}

}  // namespace

std::string ShortHex(const std::string& hex) {
    if (hex.size() <= 24) return hex;
    return hex.substr(0, 24) + "... (" + std::to_string(hex.size() / 2) + " bytes)";
}

std::string TellStory(const SRunResult& run, const SStoryContext& context) {
    std::ostringstream out;
    const std::vector<SEvent>& primary = run.primary.events;

    out << "== The installation\n"
        << "  " << context.install << "\\ZephraClient.exe  (the real launcher)\n"
        << "  " << context.install << "\\hid.dll, setupapi.dll  (simulated platform DLLs, found before Wine's own)\n"
        << "  " << context.wireletPath << "  (the real JNI library)\n"
        << "  jvm.dll in the runtime's bin\\" << (sizeof(void*) == 8 ? "server" : "client")
        << " folder  (the Java runtime double with its scripted client)\n"
        << "  devices: remote 1 (vendor E47A, product 01F4, reports 65/65), remote 2 (F3C5:5E42, reports 33/17),\n"
        << "           a foreign HID device (045E:0040) that the library must pass over\n\n";

    out << "== What the launcher set up for the Java VM\n";
    for (const SEvent& event : primary) {
        if (event.name == "create-version") out << "  JNI version   " << event.text << "\n";
        if (event.name == "create-option") out << "  option        " << event.text << "\n";
        if (event.name == "create-path") out << "  PATH          " << event.text << "\n";
        if (event.name == "create-cwd") out << "  working dir   " << event.text << "\n";
    }
    int jniCalls = 0;
    for (const SEvent& event : primary) jniCalls += event.name == "jni" ? 1 : 0;
    out << "\n== Step by step (ms from the first launch)\n";

    std::vector<SLine> lines;
    int order = 0;
    AddLaunch(run.primary, "first", context.primaryCommand, run.startMs, lines, order);
    for (std::size_t i = 0; i < run.seconds.size(); ++i) {
        AddLaunch(run.seconds[i], "second" + (run.seconds.size() > 1 ? " " + std::to_string(i + 1) : std::string()),
                  context.secondCommand, run.startMs, lines, order);
    }
    for (const SDevicePacket& packet : run.devicePackets) {
        lines.push_back({packet.ms - run.startMs, order++, "remote " + std::to_string(packet.remote),
                         packet.output ? "device got output report 00 + " + ShortHex(packet.hex)
                                       : "device sent input report 00 + " + ShortHex(packet.hex)});
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const SLine& a, const SLine& b) { return a.ms != b.ms ? a.ms < b.ms : a.order < b.order; });
    for (const SLine& line : lines) {
        char who[16];
        std::snprintf(who, sizeof who, "%-9s", line.who.c_str());
        out << (line.ms >= 1e12 ? std::string("        --") : Milliseconds(line.ms)) << "  " << who << " " << line.text
            << "\n";
    }

    out << "\n== Outcome\n";
    std::vector<std::string> summary = TextsOf(primary, "summary");
    if (!summary.empty()) {
        out << "  transactions " << ValueOf(summary[0], "transactions") << ", failed unexpectedly "
            << ValueOf(summary[0], "failures") << ", failed on the unplugged remote "
            << ValueOf(summary[0], "unplugged_failures") << ", longest " << ValueOf(summary[0], "longest_ms")
            << " ms\n";
    }
    out << "  JNI calls the library made in the first launch: " << jniCalls << "\n";
    out << "  device handles left open: " << run.leakedHandles << ", monitor windows left: " << run.monitorWindowsLeft
        << "\n";
    int violations = CountOf(primary, "violation");
    for (const SLaunch& second : run.seconds) violations += CountOf(second.events, "violation");
    out << "  JNI misuse found by the VM double: " << violations << "\n";
    if (run.problems.empty()) {
        out << "  the stage found nothing wrong\n";
    } else {
        for (const std::string& problem : run.problems) out << "  PROBLEM: " << problem << "\n";
    }
    return out.str();
}

std::vector<std::pair<std::string, std::string>> SoakFigures(const SRunResult& run, double wallSeconds) {
    std::vector<std::pair<std::string, std::string>> figures;
    const std::vector<SEvent>& primary = run.primary.events;
    std::vector<std::string> summaries = TextsOf(primary, "summary");
    std::string summary = summaries.empty() ? "" : summaries.front();
    auto value = [&](const char* key) {
        std::string v = ValueOf(summary, key);
        return v.empty() ? std::string("-1") : v;
    };
    int transactions = std::atoi(value("transactions").c_str());

    // Threads: two read threads while both remotes are attached, none after detaching, and the monitor's
    // two threads gone after the destroy call.
    int baseline = -1, detached = -1, end = -1, cycleMax = -1;
    for (const std::string& text : TextsOf(primary, "threads")) {
        int count = std::atoi(text.substr(text.rfind(' ') + 1).c_str());
        if (text.compare(0, 8, "baseline") == 0) baseline = count;
        if (text.compare(0, 8, "detached") == 0) detached = count;
        if (text.compare(0, 3, "end") == 0) end = count;
        if (text.compare(0, 5, "cycle") == 0) cycleMax = std::max(cycleMax, count);
    }
    int leakedThreads = 0;
    if (baseline < 0 || detached < 0 || end < 0) {
        leakedThreads = -1;
    } else {
        leakedThreads = std::max(0, detached - baseline) + std::max(0, end - (baseline - 2)) +
                        (cycleMax >= 0 ? std::max(0, cycleMax - (baseline + 2)) : 0);
    }

    int hung = run.primary.ended ? 0 : 1;
    int badExits = run.primary.ended && run.primary.exitCode != 0 ? 1 : 0;
    int boxes = run.primary.messageBox.empty() ? 0 : 1;
    int violations = CountOf(primary, "violation");
    int sent = 0;
    for (const SLaunch& second : run.seconds) {
        hung += second.ended ? 0 : 1;
        badExits += second.ended && second.exitCode != 0 ? 1 : 0;
        boxes += second.messageBox.empty() ? 0 : 1;
        violations += CountOf(second.events, "violation");
        sent += CountOf(second.events, "command-sent");
    }

    figures.push_back({"transactions", std::to_string(transactions)});
    figures.push_back({"failures", value("failures")});
    figures.push_back({"unplugged_failures", value("unplugged_failures")});
    figures.push_back({"plug_cycles", std::to_string(run.cycles)});
    figures.push_back({"second_launches", std::to_string(run.seconds.size())});
    figures.push_back({"commands_sent", std::to_string(sent)});
    figures.push_back({"commands_received", value("commands")});
    figures.push_back({"leaked_handles", std::to_string(run.leakedHandles)});
    figures.push_back({"leaked_threads", std::to_string(leakedThreads)});
    figures.push_back({"monitor_windows_left", std::to_string(run.monitorWindowsLeft)});
    figures.push_back({"hung_processes", std::to_string(hung)});
    figures.push_back({"nonzero_exits", std::to_string(badExits)});
    figures.push_back({"message_boxes", std::to_string(boxes)});
    figures.push_back({"jni_violations", std::to_string(violations)});
    figures.push_back({"script_errors", std::to_string(CountOf(primary, "error"))});
    figures.push_back({"stage_problems", std::to_string(run.problems.size())});
    figures.push_back({"longest_transaction_ms", value("longest_ms")});
    char mean[32];
    std::snprintf(mean, sizeof mean, "%.3f",
                  transactions > 0 ? std::strtod(value("total_ms").c_str(), nullptr) / transactions : 0.0);
    figures.push_back({"mean_transaction_ms", mean});
    figures.push_back({"device_packets", std::to_string(run.devicePackets.size())});
    char wall[32];
    std::snprintf(wall, sizeof wall, "%.1f", wallSeconds);
    figures.push_back({"wall_seconds", wall});
    return figures;
}

}  // namespace zephra_system

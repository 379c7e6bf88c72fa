#pragma once
// What the scripted Java client (the "client" scenario of jvm.dll) and the system test's stage agree on.
//
// The stage is the test process: it serves the simulated remote controls and plays the user. The
// primary client reports each checkpoint of its script over a message-mode named pipe and waits for the
// stage's answer, so that the stage acts (unplugs a remote, starts a second launch) at a known point.
// Every wait on either side is bounded.
//
// The remotes answer output packets by the rules below; the client checks every reply against them.

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace zephra_stage {

// Environment of the client processes.
inline constexpr wchar_t kPipeVariable[] = L"ZEPHRA_STAGE_PIPE";   // the stage's pipe name
inline constexpr wchar_t kPlanVariable[] = L"ZEPHRA_CLIENT_PLAN";  // "key=value,..." (see SPlan)
inline constexpr char kScenario[] = "client";

// Checkpoints (request words) and the stage's answers.
inline constexpr char kListed[] = "listed";                     // + " <count>": candidates listed, attached
inline constexpr char kUnplug[] = "unplug";                     // + " <remote number>"
inline constexpr char kReplug[] = "replug";                     // + " <remote number>"
inline constexpr char kDetached[] = "detached";                 // every channel detached
inline constexpr char kAwaitingCommand[] = "awaiting-command";  // + " <n>": start the n-th second launch
inline constexpr char kGo[] = "go";

// The command a second launch sends, carrying its arguments joined by line feeds.
inline constexpr char kCommandMethod[] = "HandleCommandLine";

// The primary's script, read from kPlanVariable; absent keys keep these values.
struct SPlan {
    int transactions = 4;  // write-read transactions per remote and round
    int stream = 5;        // packets streamed to each remote during the continuous read
    int cycles = 1;        // unplug and replug cycles of remote 2
    int commands = 1;      // second launches to wait for
};

inline SPlan ParsePlan(const std::string& text) {
    SPlan plan;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(start, end - start);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos) {
            std::string key = item.substr(0, eq);
            int value = std::atoi(item.c_str() + eq + 1);
            if (key == "transactions") plan.transactions = value;
            if (key == "stream") plan.stream = value;
            if (key == "cycles") plan.cycles = value;
            if (key == "commands") plan.commands = value;
        }
        start = end + 1;
    }
    return plan;
}

inline std::string FormatPlan(const SPlan& plan) {
    return "transactions=" + std::to_string(plan.transactions) + ",stream=" + std::to_string(plan.stream) +
           ",cycles=" + std::to_string(plan.cycles) + ",commands=" + std::to_string(plan.commands);
}

// ---- How a simulated remote answers (packets without the report-ID byte) ----
//
// Echo request: byte 0-1 sequence number, byte 2 kEchoCommand, bytes 3.. payload. The reply has the
// input packet size: the sequence number, the remote's tag, then the payload's bytes inverted
// (zero-padded or cut to fit).
// Stream request: byte 2 kStreamCommand, byte 3 a count n: the remote sends n packets
// [i, kStreamCommand, tag, 0...] of the input packet size, i = 0..n-1, without being asked again.
inline constexpr unsigned char kEchoCommand = 0x7E;
inline constexpr unsigned char kStreamCommand = 0x5C;

inline std::vector<unsigned char> EchoRequest(unsigned sequence, std::size_t outputSize) {
    std::vector<unsigned char> packet(outputSize, 0);
    for (std::size_t i = 0; i < outputSize; ++i) packet[i] = static_cast<unsigned char>(sequence * 7 + i * 13);
    if (outputSize >= 3) {
        packet[0] = static_cast<unsigned char>(sequence & 0xFF);
        packet[1] = static_cast<unsigned char>((sequence >> 8) & 0xFF);
        packet[2] = kEchoCommand;
    }
    return packet;
}

inline std::vector<unsigned char> StreamRequest(unsigned count, std::size_t outputSize) {
    std::vector<unsigned char> packet(outputSize, 0);
    if (outputSize >= 4) {
        packet[2] = kStreamCommand;
        packet[3] = static_cast<unsigned char>(count);
    }
    return packet;
}

// The packets a remote with this tag and input packet size answers to one output packet.
inline std::vector<std::vector<unsigned char>> RemoteAnswer(const std::vector<unsigned char>& request,
                                                            unsigned char tag, std::size_t inputSize) {
    std::vector<std::vector<unsigned char>> answers;
    if (request.size() < 4 || inputSize < 3) return answers;
    if (request[2] == kEchoCommand) {
        std::vector<unsigned char> reply(inputSize, 0);
        reply[0] = request[0];
        reply[1] = request[1];
        reply[2] = tag;
        for (std::size_t i = 3; i < inputSize && i < request.size(); ++i) {
            reply[i] = static_cast<unsigned char>(~request[i]);
        }
        answers.push_back(reply);
    } else if (request[2] == kStreamCommand) {
        for (unsigned i = 0; i < request[3]; ++i) {
            std::vector<unsigned char> packet(inputSize, 0);
            packet[0] = static_cast<unsigned char>(i);
            packet[1] = kStreamCommand;
            packet[2] = tag;
            answers.push_back(packet);
        }
    }
    return answers;
}

// Remote number n (1, 2) carries tag 0xA0 + n.
inline unsigned char RemoteTag(int remote) { return static_cast<unsigned char>(0xA0 + remote); }

}  // namespace zephra_stage

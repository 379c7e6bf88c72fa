#pragma once
// Turning a whole-client run into words (the demo's account) and into numbers (the soak's figures).
// Plain text work on what the run collected; no Win32 calls.

#include <string>
#include <utility>
#include <vector>

#include "system/stage.h"

namespace zephra_system {

struct SStoryContext {
    std::string install;         // installation directory
    std::string wireletPath;     // where Wirelet.dll was put
    std::string primaryCommand;  // how the first launch was started
    std::string secondCommand;   // how each second launch was started
};

// A packet's hex, cut to its first 12 bytes with the length added when longer.
std::string ShortHex(const std::string& hex);

// The step-by-step account, times in milliseconds from the first launch.
std::string TellStory(const SRunResult& run, const SStoryContext& context);

// The soak's figures as (name, value) pairs, printed as "name value" lines.
std::vector<std::pair<std::string, std::string>> SoakFigures(const SRunResult& run, double wallSeconds);

}  // namespace zephra_system

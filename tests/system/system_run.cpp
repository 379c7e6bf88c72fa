// Runs the whole client once on the stage and tells what happened:
//   system_run --demo                 the step-by-step account (scripts/demo)
//   system_run --soak [key=value...]  the soak's "name value" figures (scripts/soak); keys as in the plan:
//                                     transactions, stream, cycles, commands
// Exit code 0 when the run was clean, 1 when anything went wrong.

#include <windows.h>

#include <cstdio>
#include <string>

#include "support/process.h"
#include "system/stage.h"
#include "system/story.h"

using namespace zephra_system;

namespace {

bool Clean(const SRunResult& run) {
    bool clean = run.problems.empty() && run.primary.ended && run.primary.exitCode == 0 &&
                 run.primary.messageBox.empty() && CountOf(run.primary.events, "error") == 0 &&
                 CountOf(run.primary.events, "violation") == 0;
    for (const SLaunch& second : run.seconds) {
        clean = clean && second.ended && second.exitCode == 0 && second.messageBox.empty() &&
                CountOf(second.events, "violation") == 0;
    }
    return clean;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string mode = argc > 1 ? zephra_test::narrow(argv[1]) : "--demo";
    SStageOptions options;
    options.primaryArguments = L"--tray";
    if (mode == "--soak") {
        options.plan.transactions = 4;
        options.plan.stream = 5;
        options.plan.cycles = 100;
        options.plan.commands = 50;
        options.runTimeoutMs = 15 * 60 * 1000;
        std::string plan;
        for (int i = 2; i < argc; ++i) plan += (plan.empty() ? "" : ",") + zephra_test::narrow(argv[i]);
        zephra_stage::SPlan given = zephra_stage::ParsePlan(zephra_stage::FormatPlan(options.plan) + "," + plan);
        options.plan = given;
    } else if (mode != "--demo") {
        std::fprintf(stderr, "usage: system_run --demo | --soak [transactions=N] [cycles=N] [commands=N]\n");
        return 64;
    }

    try {
        const double start = NowMs();
        CStage stage(options);
        SRunResult run = stage.Run();
        const double seconds = (NowMs() - start) / 1000.0;
        if (mode == "--demo") {
            SStoryContext context;
            context.install = zephra_test::narrow(stage.InstallDirectory());
            context.wireletPath = zephra_test::narrow(stage.WireletPath());
            context.primaryCommand = "ZephraClient.exe " + zephra_test::narrow(options.primaryArguments);
            context.secondCommand = "ZephraClient.exe " + zephra_test::narrow(options.secondArguments);
            std::fputs(TellStory(run, context).c_str(), stdout);
        } else {
            for (const auto& figure : SoakFigures(run, seconds)) {
                std::printf("%s %s\n", figure.first.c_str(), figure.second.c_str());
            }
            for (const std::string& problem : run.problems) std::fprintf(stderr, "problem: %s\n", problem.c_str());
            for (const std::string& error : TextsOf(run.primary.events, "error")) {
                std::fprintf(stderr, "client error: %s\n", error.c_str());
            }
        }
        std::fflush(stdout);
        return Clean(run) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "system_run: %s\n", e.what());
        return 2;
    }
}

// Fault-injection sweep: every scenario of the service's life runs once
// cleanly, then once more for every injectable Windows call of that clean run
// that Windows can fail for valid arguments, with that call failing the way
// Windows fails it. After every run the invariants must hold; every break is
// printed and counted.
//
//   faultsweep [--full] [--scenario NAME] [--verbose]
//
// Each position is also run with every call of its function failing. --full
// repeats the positional sweep twice more, to catch breaks that depend on
// thread timing, and once more by bare position.
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "scenarios.h"

using namespace faultsweep;

namespace
{

struct FunctionTally {
    size_t tried = 0;
    size_t broken = 0;
};

} // namespace

int main(int argc, char **argv)
{
    bool full = false;
    bool verbose = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--full") {
            full = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--scenario" && i + 1 < argc) {
            only = argv[++i];
        } else {
            fprintf(stderr, "usage: faultsweep [--full] [--scenario NAME] [--verbose]\n");
            return 2;
        }
    }

    auto started = std::chrono::steady_clock::now();
    size_t scenarios = 0;
    size_t positions = 0;
    size_t skipped = 0;
    size_t runs = 0;
    size_t brokenRuns = 0;
    size_t moved = 0;
    std::map<std::string, FunctionTally> byFunction;
    std::set<std::string> neverFailed;

    auto report = [&](const std::string &label, const RunResult &result, const std::string &function) {
        ++runs;
        if (!function.empty()) {
            auto &tally = byFunction[function];
            ++tally.tried;
            tally.broken += result.breaks.empty() ? 0 : 1;
        }
        if (!result.breaks.empty()) {
            ++brokenRuns;
            printf("BROKEN %s\n", label.c_str());
            for (const auto &b : result.breaks) {
                printf("    %s\n", b.c_str());
            }
        } else if (verbose) {
            printf("ok     %s\n", label.c_str());
        }
        fflush(stdout);
    };

    for (const Scenario &scenario : Scenarios()) {
        if (!only.empty() && only != scenario.name) {
            continue;
        }
        ++scenarios;
        RunResult clean = RunOnce(
            scenario, [] {}, nullptr);
        report(std::string(scenario.name) + " clean", clean, "");
        Baseline baseline{clean.calls, clean.records};

        // Every position of the clean run, named by function and ordinal: a
        // helper process runs beside the service thread for a moment after it
        // is started, so a bare position can land on another call in a run
        // whose threads interleave differently. --full repeats this twice more
        // (other interleavings) and adds one pass by bare position.
        std::set<std::string> functions;
        for (int pass = 0; pass < (full ? 4 : 1); ++pass) {
            bool byPosition = pass == 3;
            std::map<std::string, unsigned> ordinal;
            for (size_t k = 1; k <= baseline.calls.size(); ++k) {
                const std::string &function = baseline.calls[k - 1];
                unsigned nth = ++ordinal[function];
                if (!sim::FailsForValidArguments(function)) {
                    skipped += pass == 0 ? 1 : 0;
                    neverFailed.insert(function);
                    continue;
                }
                functions.insert(function);
                positions += pass == 0 ? 1 : 0;
                std::function<void()> inject = [function, nth] { sim::FailCall(function, nth); };
                if (byPosition) {
                    inject = [k] { sim::FailAtPosition(k); };
                }
                RunResult result = RunOnce(scenario, inject, &baseline);
                if (byPosition &&
                    (result.failedFunction.empty() || !sim::FailsForValidArguments(result.failedFunction))) {
                    ++moved; // the position fell on a call that is never failed
                    continue;
                }
                std::string label = std::string(scenario.name) + " position " + std::to_string(k) + " (" + function +
                                    " #" + std::to_string(nth) + ")" + (byPosition ? " by position" : "");
                report(label, result, function);
            }
        }
        // Every call of one function failing: a failure that lasts.
        for (const auto &function : functions) {
            RunResult result = RunOnce(
                scenario, [function] { sim::FailCall(function, 0); }, &baseline);
            report(std::string(scenario.name) + " every " + function, result, function);
        }
    }
    sim::Reset();

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("\nnever failed (Windows does not fail them for valid arguments):");
    for (const auto &function : neverFailed) {
        printf(" %s", function.c_str());
    }
    printf("\nper function: runs with it failing (runs that broke an invariant)\n");
    for (const auto &entry : byFunction) {
        printf("  %-36s %5zu (%zu)\n", entry.first.c_str(), entry.second.tried, entry.second.broken);
    }
    if (full) {
        printf("by-position runs that fell on a never-failed call: %zu\n", moved);
    }
    printf("\nfaultsweep%s: %zu scenarios, %zu call positions tried (%zu more never failed), %zu runs, "
           "%zu runs broke an invariant, %.1f s\n",
           full ? " --full" : "", scenarios, positions, skipped, runs, brokenRuns, seconds);
    return brokenRuns == 0 ? 0 : 1;
}

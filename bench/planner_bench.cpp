// mira_plan_bench: the scan planner's cut of random files against an
// exhaustive search of every partition, and what planning costs. Prints the
// worst ratio of planned to least line time (the goal is 1.00) over random
// tag sets of every file shape, controller family and line.
//
//   ./build/bench/bench/mira_plan_bench [--sets N] [--seed S]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "serve/planner.h"

using namespace mira::serve;

int main(int argc, char** argv) {
    int sets = 1000;
    unsigned seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--sets") == 0) sets = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    // Words, floats (SLC 500 reads one more), timers, PLC-5 timers.
    const FileShape kShapes[] = {{1, 127, 0, false}, {2, 62, 1, false}, {3, 41, 0, false}, {5, 41, 0, false}};
    const Family kFamilies[] = {Family::Slc500, Family::Plc5, Family::Plc2};
    const uint32_t kBauds[] = {1200, 9600, 19200, 115200};
    std::mt19937 random(seed);
    double worst = 1, sum = 0;
    int tags = 0;
    std::chrono::nanoseconds planning{0};
    for (int s = 0; s < sets; ++s) {
        const FileShape shape = kShapes[random() % 4];
        const Family family = kFamilies[random() % 3];
        LineTiming timing;
        timing.baud = kBauds[random() % 4];
        timing.bitsPerChar = 10 + random() % 3;
        timing.turnaroundMs = random() % 30;
        timing.crc = random() % 2 == 0;
        // Up to 9 tags (21 147 partitions) over a file up to three reads wide.
        const int n = 1 + static_cast<int>(random() % 9);
        const int spread = 1 + static_cast<int>(random() % (3 * shape.capacity));
        std::vector<PlanTag> file;
        for (int i = 0; i < n; ++i) {
            PlanTag t;
            t.file = "N7:";
            t.first = static_cast<int32_t>(random() % spread);
            t.last = t.first + (shape.wordsPerUnit == 1 ? static_cast<int32_t>(random() % 2) : 0);
            t.shape = shape;
            file.push_back(t);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto groups = CutFile(file, family, timing);
        planning += std::chrono::steady_clock::now() - start;
        int64_t planned = 0;
        for (const auto& g : groups) planned += GroupCost(file, g, family, timing);
        const int64_t least = ExhaustiveCost(file, family, timing);
        const double ratio = static_cast<double>(planned) / static_cast<double>(least);
        worst = std::max(worst, ratio);
        sum += ratio;
        tags += n;
    }
    std::printf("planner vs exhaustive search: %d random files, %d tags: worst ratio %.4f, mean %.4f; "
                "planning %.2f us a file\n",
                sets, tags, worst, sum / sets, std::chrono::duration<double, std::micro>(planning).count() / sets);
    return worst > 1.0 ? 1 : 0;
}

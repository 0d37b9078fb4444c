// power_cut_sweep - the power cut at every request of every update, and the way back
// the program leads the technician along. Prints one row per update:
//
//   power_cut_sweep                 every update, every request
//   power_cut_sweep --sample=N      the phase boundaries and N more cut points each
//   power_cut_sweep --only=NAME     one update (its name as the table prints it)
//
// Exit code 1 when any unit was left that the program could not bring back.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/sweep/power_cut.h"

int main(int argc, char** argv) {
    int sample = -1;
    std::string only;
    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        if (strncmp(argv[i], "--sample=", 9) == 0) sample = atoi(argv[i] + 9);
        else if (strncmp(argv[i], "--only=", 7) == 0) only = argv[i] + 7;
        else if (strcmp(argv[i], "--verbose") == 0) verbose = true;
        else {
            fprintf(stderr, "usage: %s [--sample=N] [--only=NAME] [--verbose]\n", argv[0]);
            return 2;
        }
    }
    printf("| update | cut points | recovered | calibration kept | tries after the cut | time (s) |\n");
    printf("|---|---|---|---|---|---|\n");
    fflush(stdout);
    int lost = 0;
    for (sweep::Update u : sweep::AllUpdates()) {
        if (!only.empty() && only != sweep::NameOf(u)) continue;
        auto start = std::chrono::steady_clock::now();
        std::vector<sweep::CutPoint> points =
            sample < 0 ? sweep::CutPoints(u) : sweep::PhaseBoundaries(u, sample, 20);
        int recovered = 0, kept = 0, minTries = 0, maxTries = 0;
        bool peripheral = u == sweep::Update::RemoteUser || u == sweep::Update::ReceiverUser ||
                          u == sweep::Update::RemoteService || u == sweep::Update::ReceiverService;
        for (const sweep::CutPoint& p : points) {
            sweep::Outcome o = sweep::RunCut(u, p);
            recovered += o.recovered && o.cutTookEffect;
            kept += o.calibrationKept;
            if (minTries == 0 || o.tries < minTries) minTries = o.tries;
            if (o.tries > maxTries) maxTries = o.tries;
            if (!o.recovered || !o.cutTookEffect) {
                lost++;
                fprintf(stderr, "NOT RECOVERED: %s %s:%s\n", sweep::NameOf(u), p.Plan().c_str(), o.note.c_str());
            } else if (verbose) {
                fprintf(stderr, "%s %s: %d tries%s\n", sweep::NameOf(u), p.Plan().c_str(), o.tries,
                        o.calibrationKept ? "" : ", calibration lost");
            }
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string tries = minTries == maxTries ? std::to_string(maxTries)
                                                 : std::to_string(minTries) + " to " + std::to_string(maxTries);
        std::string calibration = peripheral ? std::to_string(kept) + " of " + std::to_string(points.size()) : "-";
        printf("| %s | %zu | %d | %s | %s | %.0f |\n", sweep::NameOf(u), points.size(), recovered,
               calibration.c_str(), tries.c_str(), seconds);
        fflush(stdout);
        if (points.empty()) lost++;
    }
    return lost == 0 ? 0 : 1;
}

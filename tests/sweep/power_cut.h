// power_cut.h - the power cut at every request of every update, and the technician who
// then follows what the program says until the unit works again.
//
// One cut point is one request of one update (its kind and index in the unit's request
// log) and how far the unit's work on it got when the power went. The bench runs the
// menu command with that cut, powers the unit on again, and then does what a
// technician does: runs the same menu command again, answers its prompts, sets and
// removes jumpers when told to, until the program says the unit is updated (three
// tries at most). The unit is recovered when it then holds the image byte for byte
// and starts by itself once switched off and on again.
//
// Everything runs in the test backend's virtual time (tests/backend/testbed.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sweep {

enum class Update {
    ConsoleUser,      // "Update Console", the console running its firmware
    ConsoleBoot,      // "Update Console" through the processor's boot mode
    VinculumCable,    // "Update Vinculum by cable"
    RemoteUser,       // "Update Remote", the Remote announcing itself
    ReceiverUser,     // "Update Receiver", likewise
    RemoteService,    // "Update Remote", technical-service path (boot jumpers)
    ReceiverService,  // "Update Receiver", technical-service path
    TempaBox,         // "Update Tempa BOX" (always in boot mode)
};
const std::vector<Update>& AllUpdates();
const char* NameOf(Update update);

struct CutPoint {
    std::string kind;  // request kind in the unit's log ("erase", "boot50"...)
    int index;         // 1-based within the kind
    uint32_t permille; // how far the work on it got (see the "cut" fault)
    std::string Plan() const;  // "cut:erase#3=500"
};

struct Outcome {
    bool cutTookEffect = false;  // the unit really lost its power at that request
    bool recovered = false;      // image byte for byte, and the unit starts again
    bool calibrationKept = true; // Remote/Receiver block 0x1000-0x1FFF as before
    int tries = 0;               // commands the technician ran after the cut
    std::string note;            // why not recovered, what the technician saw
};

// Every request of the update as a clean run makes them, each with the cut the full
// sweep uses: half-way through the work of requests that change flash, on arrival for
// the others.
std::vector<CutPoint> CutPoints(Update update);
// The bounded subset: the first request, each erase's first and last, the first,
// middle and last write, the last request; and `sample` more drawn with the seed.
std::vector<CutPoint> PhaseBoundaries(Update update, int sample, uint64_t seed);

// One cut and the way back. The bench uses its own scratch directory.
Outcome RunCut(Update update, const CutPoint& cut);

}  // namespace sweep

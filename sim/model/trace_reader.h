// trace_reader.h - reads a kept trace (or a copied TEMP\log.txt) into what went over
// the pipes: each transfer with its line, direction, 32-bit microsecond stamp and
// bytes, grouped in the sections that the procedures' header lines open.
//
//   Time:%08x Mesa<- Nbytes:%u 80 7f 00 01     one PipeWrite of the program
//   Time:%08x ->PC Nbytes:%u 80 7f 04 fd       one read of the receive thread
//   -----User Update-----                      a procedure's header line
//
// Other lines of text (the boot programming notes) are kept as notes. Lines end in LF
// or CRLF. A pure function: no files, no clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/framework.h"

namespace sim {

struct TraceSection {
    int line = 0;         // 1-based line of the header; for a section without one, of its first transfer
    std::string header;   // "-----Boot Update-----", "" when traffic came without a header
    bool boot = false;    // the console's processor in boot mode, else the running console
    int transfers = 0;    // how many transfer lines it holds
};

struct TraceTransfer {
    int line = 0;          // 1-based
    bool toPc = false;     // "->PC" (device to program), else "Mesa<-"
    uint32_t stamp = 0;    // MicroClock when the line was logged; wraps
    std::vector<uint8_t> bytes;
    int section = 0;       // index into Trace::sections
};

struct Trace {
    std::vector<TraceSection> sections;
    std::vector<TraceTransfer> transfers;
    int lines = 0;
};

struct TraceError {
    int line = 0;
    std::string text;
};

// Reads a whole trace. On failure returns false with the first fault and its line:
// a file that is not a trace, a cut-off line, a byte item that is not two hexadecimal
// digits, a count that disagrees with its items.
bool ReadTrace(const std::string& text, Trace* trace, TraceError* error);

// The identity a section's device shows by default.
inline Identity SectionIdentity(const TraceSection& s) { return s.boot ? kBootId : kConsoleId; }

}  // namespace sim

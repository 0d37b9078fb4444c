// sim.h - device models for the updater: the running console firmware (with its
// Vinculum and its KQ-LINK port), the boot program of a processor in boot mode (the
// console's over USB, a Remote's or Receiver's over KQ-LINK), and the peripherals on
// KQ-LINK (Remote, Receiver, Tempa BOX).
//
// The models are event driven in abstract microseconds and never read a clock. The
// transport tells a model "now" whenever something happens:
//
//   HostWrote(now, bytes)      the program wrote bytes to PIPE00 at time now;
//   NextEventUs()              the earliest time the model has something to do;
//   RunUntil(now, &out, &unp)  everything due up to now: bytes for PIPE01, unplug.
//
// The test backend (tests/backend/sim_plug.h) drives them in virtual time; kqsim drives
// them with a monotonic clock over the device directory's FIFOs. Peripherals attach to
// a console's KQ-LINK bus and run in the console's time.
//
// Every model keeps the state a real device keeps (flash, MAC, link speed, boot
// program state), logs each request it understood, records what a real device would
// have got wrong (programming a byte that was not erased...) and can be told to
// misbehave by a fault plan.
//
// A scenario test:
//
//   sim::Console console;                      // 0x1D2B/0x0001, old firmware in flash
//   sim::TestbedPlug plug(&console);           // plugged into the test backend
//   ... run the menu command ...
//   EXPECT_EQ(console.Flash(), expected);      // 512 KiB
//   EXPECT_TRUE(console.Errors().empty());
//   EXPECT_EQ(console.CountOf("erase"), 16);
//
//   console.SetFaults(sim::FaultPlan::FromText("drop:program#3"));
//   SCOPED_TRACE(console.Faults().ToString());
#pragma once

#include "sim/model/framework.h"
#include "sim/model/console.h"
#include "sim/model/boot_program.h"
#include "sim/model/peripherals.h"

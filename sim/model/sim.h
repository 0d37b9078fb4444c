// sim.h - the device models for the updater, in one include for the tests and kqsim:
// the running console firmware (with its Vinculum and its KQ-LINK port), the boot
// program of a processor in boot mode (the console's over USB, a Remote's or
// Receiver's over KQ-LINK), and the peripherals on KQ-LINK (Remote, Receiver, Tempa
// BOX). How a transport drives a model is in framework.h; peripherals attach to a
// console's KQ-LINK bus and run in the console's time.
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

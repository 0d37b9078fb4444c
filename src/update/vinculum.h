// vinculum.h - the Vinculum USB host controller inside the console: its firmware
// written to a USB stick as FTDI's update file, or sent through the running console.
#pragma once

// Body of the menu command "Update Vinculum by USB-Stick": writes FTRFB.FTD to the
// root of the drive the operator picks (D to Z), or nothing after [->].
void VinculumToStickCommand();
// Body of the menu command "Update Vinculum by cable": programs and verifies the 64
// chunks of the firmware through the console, which reflashes its Vinculum.
void VinculumByCable();

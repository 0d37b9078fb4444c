// kqlink.h - the KQ-LINK port of the console, reached through the console command
// protocol: the requests that tunnel bytes to and from the peripherals.
#pragma once

// Leaves KQ-LINK mode: the request 80 08 78, no wait and no answer. The peripheral
// commands end their exchange with it once they were connected.
void LinkEnd();

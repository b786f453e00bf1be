// The server's entry: COM initialisation, the switches, then registration
// work or the published class object and the message loop.
#pragma once

#include "platform/win32.h"

// Exit codes: 0 normally; kExitNotPublished when the class object could not
// be published (nothing could ever end the loop, so the server ends at once);
// kExitQueueFailed when the message queue itself failed.
constexpr int kExitNotPublished = 1;
constexpr int kExitQueueFailed = 2;

int ServerMain(HINSTANCE instance, LPSTR commandTail);

// Acts on the switches of the tail in order (splitting it in place). True
// when a registration switch was acted on, so that the process ends without
// serving.
bool ActOnSwitches(LPSTR commandTail);

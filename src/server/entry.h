// The server's entry: COM initialisation, the switches, then registration
// work or the published class object and the message loop.
#pragma once

#include "platform/win32.h"

// Exit codes: 0 normally; kExitNotPublished when the class object could not
// be published (nothing could ever end the loop, so the server ends at once);
// kExitQueueFailed when the message queue or the loop's timer failed;
// kExitComFailed when COM could not be initialised; kExitRepublishFailed when
// the class object, withdrawn on the way out, could not be published again
// for a call that arrived then (the server served on, or ended, without it);
// kExitRegistrationFailed when a registration switch's action failed (a
// write or removal under HKEY_CLASSES_ROOT refused, say without elevation),
// so that a script or an installer that runs /RegServer is not misled.
constexpr int kExitNotPublished = 1;
constexpr int kExitQueueFailed = 2;
constexpr int kExitComFailed = 3;
constexpr int kExitRepublishFailed = 4;
constexpr int kExitRegistrationFailed = 5;

// A server that has had no object, no lock and no call for this long has
// ended by itself (30 s, its way out included): nobody will use it any more.
// That is a server COM started for a client that died before it created
// anything, one started for a client that another server served, one
// started by hand, and, once COM has run down the references of clients
// that died holding objects, one whose clients are all gone. The spell
// starts with the process. It leaves a client that COM started the server
// for time to reach it on a loaded machine (Wine's activation asks for the
// class object for up to 30 s).
constexpr DWORD kIdleEndMilliseconds = 30000;

// A server that finds another server of the class published when it starts
// (Wine's activation service starts one for each client that asks at the
// same moment, and hands them all the first one) ends once this long after
// its start has passed without an object, a lock or a call; and a client
// that started it has stopped watching its process by then (Wine's client
// reports a server that ends within a second of its start as one that
// failed to start).
constexpr DWORD kSecondServerGraceMilliseconds = 2000;

// On its way out the server answers calls until a quiet spell of this long
// without one, first with its class object suspended, then withdrawn (see
// ServingLoop in entry.cpp). Their sum bounds how long a server outlives its
// last client.
constexpr DWORD kSuspendedQuietMilliseconds = 750;
constexpr DWORD kWithdrawnQuietMilliseconds = 400;

// What an idle server allows for its way out: the two quiet spells, and the
// end of COM and of the process after them (under Wine on a loaded machine,
// up to about a second).
constexpr DWORD kWayOutMilliseconds =
    kSuspendedQuietMilliseconds + kWithdrawnQuietMilliseconds + 1000;

// Tests may shorten the idle time; 0 restores kIdleEndMilliseconds.
void SetIdleEndForTesting(DWORD milliseconds);

// The process's start-up before ServerMain counts towards the idle spell up
// to this long (more than this is a clock that moved, not a start-up).
constexpr ULONGLONG kLongestStartUpMilliseconds = 10000;

// `sinceProcessStart`: how long the process took to get here (the idle spell
// starts with the process; 0 when it starts now, as for a server run on a
// thread of a test).
//
// The loop waits in GetMessageW and counts every message as a call, except
// WM_TIMER: its own timer ends the spells it waits for, and the WM_TIMER of
// any other timer of the thread goes to DispatchMessageW, which runs that
// timer's procedure. A periodic check of the server's own therefore needs
// only a thread timer with a procedure, set on the main thread (SetTimer(
// nullptr, 0, period, procedure)) before the loop or from a call; its ticks
// neither keep the server from its idle end nor end the idle spell.
int ServerMain(HINSTANCE instance, LPSTR commandTail, ULONGLONG sinceProcessStart = 0);

// Acts on the switches of the tail in order (splitting it in place). True
// when a registration switch was acted on, so that the process ends without
// serving; `failed` (when given) is set when any of those actions failed.
// Every action of the tail runs whatever became of the one before.
bool ActOnSwitches(LPSTR commandTail, bool* failed = nullptr);

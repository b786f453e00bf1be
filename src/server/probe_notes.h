// What the server writes into the record of stiscan doctor --windows-probe
// (server/probe_record.h) while the probe's section exists; nothing
// otherwise. Every call is cheap without a probe: the section is looked for
// at a creation and at a first direct call only.
#pragma once

#include "platform/win32.h"

namespace probe_notes {

// CreateInstance, once the watch has learned what it could: the server
// itself, the caller as the platform names it, what the watch holds.
void AtCreation(IUnknown* object);

// The first direct call (InitializeSti), likewise, and the owner check's
// verdicts for the probe's two SIDs.
void AtFirstDirectCall(IUnknown* object);

// The way out began, with CoSuspendClassObjects' result.
void AtWayOut(HRESULT suspended);

// The count of the server's objects changed.
void ObjectsNow(LONG count);

// The watch cut an object off from its dead client.
void CutOff();

}  // namespace probe_notes

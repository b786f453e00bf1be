// The scanner models the bridge serves, recognised by the description text of
// an STI device record. Each model has a WIA and a TWAIN entry; the bridge
// serves the TWAIN entries only.
#pragma once

#include "platform/win32.h"

enum class DeviceClass {
  Wia,          // a WIA entry: never served
  NotAccepted,  // no model of the table
  Family0,      // a served model of family 0
  Family2,      // a served model of family 2
};

// Case-insensitive substring tests against the table; a description holding
// a WIA text is a WIA entry whatever else it holds. A null description is not
// accepted.
DeviceClass ClassifyDevice(LPCWSTR description);

// The family of a device chosen by name: 2 for the family-2 TWAIN texts,
// 0 for anything else (the WIA and acceptance rules do not apply).
LONG FamilyOfNamedDevice(LPCWSTR description);

// The family code a class reports: 2, 0, or -1 for entries not served.
LONG FamilyCode(DeviceClass deviceClass);

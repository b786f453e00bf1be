// What the cross-process test clients of the interface share: the basics
// of every client (e2e_basics.h) and the parts of a session.
#pragma once

#include <windows.h>

#include "e2e_basics.h"
#include "stibridge.h"

// The parts of a session, each run by its own client process against a
// server started for it.
void Catalogue(IStiScannerComBridge* bridge);
void Session(IStiScannerComBridge* bridge);
// Prints the version resource and manifest of each file (file_versions.cpp).
int FileVersions(int count, char** files);
// Opens the e2e scenario's scanner as profile "anna" of store "ann".
bool OpenLabScanner(IStiScannerComBridge* bridge);

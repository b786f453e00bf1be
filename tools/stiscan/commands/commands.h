// The commands of stiscan; each returns the process's exit code.
#pragma once

#include "console/options.h"

namespace stiscan {

int ListDevices(const Options& options);
int ListJobs(const Options& options);
int Pull(const Options& options);
int Settings(const Options& options);
int Watch(const Options& options);
// watch --pull: every job of the user's pulled into a folder as it ends.
int WatchAndPull(const Options& options);
int Doctor(const Options& options);
// --version: prints stiscan's version and the installed server's; the exit
// code is 0 when the server's version was read (whether or not it differs),
// kExitNotRegistered without a server, kExitFailure when its file has no
// readable version.
int ShowVersions();

}  // namespace stiscan

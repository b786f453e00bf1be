// The commands of stiscan; each returns the process's exit code.
#pragma once

#include "options.h"

namespace stiscan {

int ListDevices(const Options& options);
int ListJobs(const Options& options);
int Pull(const Options& options);
int Settings(const Options& options);
int Watch(const Options& options);
// watch --pull: every job of the user's pulled into a folder as it ends.
int WatchAndPull(const Options& options);
int Doctor(const Options& options);

}  // namespace stiscan

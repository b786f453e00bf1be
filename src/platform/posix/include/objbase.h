// Stands in for the Windows header of this name in the native build.
#pragma once
#include "../posix_api.h"

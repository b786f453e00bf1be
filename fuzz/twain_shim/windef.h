// What Wine's twain.h includes: the one header of the shim.
#pragma once

#include "windows.h"

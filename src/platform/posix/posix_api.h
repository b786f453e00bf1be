// The portable subset of the Win32 and COM API that src/ and sim/ call.
#pragma once

#include "types.h"
#include "com.h"
#include "kernel.h"
#include "registry.h"
#include "shell.h"
#include "security.h"
#include "sti.h"

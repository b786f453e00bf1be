// The switches of the command tail: tokens separated by '-' or '/', compared
// whole and without regard to letter case.
#pragma once

enum class ServerSwitch { Unregister, Register, Embedding, Other };

// strtok-style split in place with the delimiters '-' and '/' only: leading
// delimiters and runs of them are skipped, whitespace stays in the token it
// touches. `cursor` starts at the tail and is advanced; returns null when no
// token is left.
char* NextSwitchToken(char** cursor);

ServerSwitch ClassifySwitch(const char* token);

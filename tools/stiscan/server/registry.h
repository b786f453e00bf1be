// Registry strings as stiscan reads them, in a registry view of its choice
// (the 32-bit stiscan reads the 64-bit server's registrations).
#pragma once

#include <windows.h>

#include <string>

namespace stiscan {

enum class RegistryText { kMissing, kNotText, kRead };

// The value `name` (null: the key's default value) of `root\path` in `view`
// (KEY_WOW64_32KEY or KEY_WOW64_64KEY), read whole: a REG_SZ, or a
// REG_EXPAND_SZ, which is expanded when `expand` is set. The text ends at its
// first NUL, or where the data ends when it has no terminator.
RegistryText ReadRegistryText(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view,
                              std::wstring& text, bool expand = true);

// The default value of the server class's LocalServer32 key in the 64-bit
// view, where the 64-bit server registers itself (a 32-bit stiscan would read
// its own view otherwise). False when there is no key or no usable string.
bool RegisteredServer(std::wstring& value);

}  // namespace stiscan

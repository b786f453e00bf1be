// JSON text for scripts: strings quoted and escaped, nothing else needed.
#pragma once

#include <string>

namespace stiscan {

// `text` (stiscan's UTF-8, see text.h) as a JSON string that is well-formed
// UTF-8 whatever the text holds: quotes, backslashes and control characters
// (NUL included) escaped, an unpaired surrogate as its \uXXXX escape (JSON
// readers give back the very unit), a malformed byte as \ufffd; every other
// character as itself.
std::string JsonString(const std::string& text);

}  // namespace stiscan

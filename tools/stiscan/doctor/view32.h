// The server's class in the 32-bit registry view. By COM's rule a 32-bit
// client that asks for a local server is given a 32-bit server of the class
// when one is registered there (a leftover Wow6432Node\CLSID\{...} of an
// old or foreign installation), and only else the 64-bit one; a 32-bit
// server cannot load the 64-bit STI stack. This version's data source and
// stiscan ask for the 64-bit server explicitly, but other clients may not,
// and Wine 8 goes by the client's registry view whatever it asks for
// (measured): stiscan doctor warns of such a key.
#pragma once

#include <string>

namespace stiscan {

struct Check;
struct DoctorFacts;

struct View32Facts {
  bool classKey = false;    // HKCR\CLSID\{...} exists in the 32-bit view
  std::string localServer;  // its LocalServer32's default value (UTF-8), if any
};

// What the 32-bit view holds of the class `classId` (Windows only).
View32Facts ClassIn32BitView(const std::wstring& classId);

// The check "class key, 32-bit view": ok without the key, a warning with it.
Check ClassKeyIn32BitView(const DoctorFacts& facts);

}  // namespace stiscan

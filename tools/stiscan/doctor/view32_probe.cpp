// What the 32-bit registry view holds of the server's class.
#include "doctor/view32.h"

#include <windows.h>

#include "console/messages.h"
#include "server/registry.h"

namespace stiscan {

View32Facts ClassIn32BitView(const std::wstring& classId)
{
  View32Facts facts;
  const std::wstring key = L"CLSID\\" + classId;
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &opened) !=
      ERROR_SUCCESS)
    return facts;
  RegCloseKey(opened);
  facts.classKey = true;
  std::wstring value;
  if (ReadRegistryText(HKEY_CLASSES_ROOT, key + L"\\LocalServer32", nullptr, KEY_WOW64_32KEY,
                       value, false) == RegistryText::kRead)
    facts.localServer = Narrow(value);
  return facts;
}

}  // namespace stiscan

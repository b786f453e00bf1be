#include "source/manager.h"

#include <initializer_list>

namespace twainds {

void Manager::Address(const TW_IDENTITY& application, const TW_IDENTITY& source)
{
  application_ = application;
  source_ = source;
  addressed_ = true;
}

void Manager::Forget()
{
  application_ = {};
  source_ = {};
  addressed_ = false;
}

DSMENTRYPROC Manager::Entry() const
{
  if (entry_ != nullptr) return entry_;
  // Only a manager that is loaded already: the one that loaded this source.
  // TWAIN 2.x managers are TWAINDSM.dll, the older ones twain_32.dll (and
  // Wine's, in both bitnesses).
  for (const wchar_t* name : {L"TWAINDSM.dll", L"twain_32.dll"}) {
    HMODULE manager = GetModuleHandleW(name);
    if (manager == nullptr) continue;
    auto entry = reinterpret_cast<DSMENTRYPROC>(
        reinterpret_cast<void*>(GetProcAddress(manager, "DSM_Entry")));
    if (entry != nullptr) return entry;
  }
  return nullptr;
}

bool Manager::Send(TW_UINT16 message)
{
  DSMENTRYPROC entry = Entry();
  if (!addressed_ || entry == nullptr) return false;
  // The manager may keep what it is handed only for the call: copies go.
  TW_IDENTITY source = source_, application = application_;
  return entry(&source, &application, DG_CONTROL, DAT_NULL, message, nullptr) == TWRC_SUCCESS;
}

}  // namespace twainds

#include "source/manager.h"

namespace twainds {

namespace {

// The DSM_Entry of the module that holds `address`, if it exports one.
DSMENTRYPROC EntryOfModuleAt(const void* address)
{
  HMODULE module = nullptr;
  if (address == nullptr ||
      !GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module))
    return nullptr;
  return reinterpret_cast<DSMENTRYPROC>(
      reinterpret_cast<void*>(GetProcAddress(module, "DSM_Entry")));
}

}  // namespace

void Manager::OpenedFrom(const void* caller, const void* origin)
{
  opener_ = EntryOfModuleAt(caller);
  if (opener_ == nullptr) opener_ = EntryOfModuleAt(origin);
}

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
  opener_ = nullptr;
  queued_.clear();
}

DSMENTRYPROC Manager::Entry() const
{
  return entry_ != nullptr ? entry_ : opener_;
}

TW_UINT16 Manager::Next()
{
  if (queued_.empty()) return MSG_NULL;
  const TW_UINT16 message = queued_.front();
  queued_.erase(queued_.begin());
  return message;
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

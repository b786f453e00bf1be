// Previews of stored jobs: the document name and the thumbnail path, only for
// jobs whose owner the caller's token holds, and the driver asked to make the
// thumbnail.
#include "bridge/bridge.h"
#include "bridge/escape.h"
#include "com/bstr.h"
#include "com/unique.h"
#include "com/wide_string.h"

namespace {

// The token the calling thread runs under: its impersonation token if it
// has one, else the process's.
bool OpenCallerToken(UniqueHandle& token)
{
  return OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.Put()) ||
         OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put());
}

// Whether `sid` is the caller token's own user (and the token does not hold
// it for denial only). Windows' CheckTokenMembership counts the user as a
// member; Wine's looks at the groups alone. Comparing the user here first
// gives the same answer on both.
bool IsCallerUser(PSID sid)
{
  UniqueHandle token;
  if (!OpenCallerToken(token)) return false;
  alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD needed = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &needed)) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
  return (user->User.Attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0 && EqualSid(user->User.Sid, sid);
}

// Whether the caller's token holds the owner's security identifier, as its
// user or as one of its enabled groups. An owner text that is not a SID, or
// a test that fails, counts as not holding it.
bool CallerHoldsOwner(const WCHAR* ownerSid)
{
  UniqueLocal<PSID> sid;
  if (ownerSid == nullptr || !ConvertStringSidToSidW(ownerSid, sid.Put())) return false;
  if (IsCallerUser(sid.Get())) return true;
  BOOL member = FALSE;
  return CheckTokenMembership(nullptr, sid.Get(), &member) && member;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CStiScannerComBridge::GetItemPreview(int index, BSTR* documentName,
                                                               BSTR* thumbnailPath)
{
  if (documentName == nullptr || thumbnailPath == nullptr) return E_POINTER;
  if (device == nullptr || itemList == nullptr) return E_FAIL;

  int flag = 0;
  static_cast<IStiScannerComBridge*>(this)->GetItemFlag(index, &flag);
  // A flag of 1 means the index names a record.
  if (flag == 0) return S_FALSE;
  driver::ItemRecord* record = ItemAt(index);
  if (!CallerHoldsOwner(record->ownerSid)) return S_FALSE;

  // The document name is given only when the job carries a time stamp with a
  // value; otherwise it stays empty.
  WCHAR name[kStringUnits] = {};
  HRESULT formatted = S_OK;
  driver::ForEachProperty(
      record->properties, record->propertyCount, [&](const driver::PropertyRecord& p) {
        if (p.Identifier() != driver::property::kItemTime || p.VectorCount() == 0 ||
            p.VectorElements() == nullptr) {
          return;
        }
        formatted = WStrFormatBytes(name, kStringBytes, W("%s"), record->documentName);
      });
  if (formatted != S_OK) return E_FAIL;
  ReplaceBstr(documentName, SysAllocString(name));

  WCHAR path[kStringUnits] = {};
  if (FAILED(BuildThumbnailPath(index, path))) return E_FAIL;
  ReplaceBstr(thumbnailPath, SysAllocString(path));

  DriverTransaction transaction(device);
  if (!transaction.Locked()) return transaction.LockResult();
  // What the driver writes into the slot is of no use to the bridge.
  ULONGLONG discarded = 0;
  HRESULT made = transaction.Escape(driver::EscapeCode::ItemThumbnail, record,
                                    sizeof(driver::ItemRecord), &discarded, sizeof(discarded));
  HRESULT unlocked = transaction.Unlock();
  return FAILED(made) ? made : unlocked;
}

// Test hooks of the platform seam. Both builds honour them: the portable
// subset checks them itself, the Windows build routes the affected calls
// through thin wrappers (platform/windows/hooks.cpp). Production code never
// sets them.
#pragma once

namespace platform_hooks {

// The next `count` allocations (GlobalAlloc, LocalAlloc, SysAllocString*,
// CoTaskMemAlloc) fail; 0 cancels.
void FailAllocations(int count);

// RegOpenKeyExW and RegCreateKeyExW answer ERROR_ACCESS_DENIED for any key
// whose path, as passed to the call, ends in `keyName` (compared without
// regard to case). Up to eight names at a time; null clears them all.
void DenyRegistryKey(const WCHAR* keyName);

// GetModuleFileNameW answers `path` for every module; null restores the real
// answer.
void SetModulePath(const WCHAR* path);

// The security identifiers (string form, ';'-separated) that the process
// token is a member of, for CheckTokenMembership; null restores the real
// token.
void SetTokenGroups(const WCHAR* sids);

// CoImpersonateClient answers `answer`; while an impersonation it let begin
// lasts on the thread (until CoRevertToSelf), the thread's token queries
// (OpenThreadToken, GetTokenInformation for TokenUser, CheckTokenMembership)
// see a client's token: user `userSid`, a member of `groupSids`
// (';'-separated) and of nothing else. A null `userSid` restores the real
// calls.
void SetClientImpersonation(HRESULT answer, const WCHAR* userSid, const WCHAR* groupSids);

// Whether the calling thread impersonates a client through the hook now.
bool ImpersonatingClient();

// platform_client::UnderWine answers false (the host is taken for
// Windows), whatever it runs on; false restores the real answer.
void TreatHostAsWindows(bool windows);

// Clears every hook.
void Reset();

}  // namespace platform_hooks

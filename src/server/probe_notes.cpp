#include "server/probe_notes.h"

#include <algorithm>

#include "catalogue/owner_check.h"
#include "server/client_watch.h"
#include "server/lifetime.h"
#include "server/probe_record.h"

namespace probe_notes {

namespace {

probe_record::Record* record = nullptr;

// The probe's record, looked for when `look` is set and none is mapped yet;
// one of another layout is left alone.
probe_record::Record* Record(bool look)
{
  if (record != nullptr || !look) return record;
  auto* found = static_cast<probe_record::Record*>(platform_server::OpenSharedRecord(
      reinterpret_cast<const WCHAR*>(probe_record::kName), sizeof(probe_record::Record)));
  if (found != nullptr && found->magic == probe_record::kMagic &&
      found->version == probe_record::kVersion)
    record = found;
  return record;
}

void Note(probe_record::Learned& learned, IUnknown* object)
{
  platform_client::CallerReport caller;
  platform_client::ReportCaller(caller);
  ++learned.calls;
  learned.rpcStatus = caller.rpcStatus;
  learned.rpcProcess = caller.rpcProcess;
  learned.callerThreadResult = caller.callerThreadResult;
  learned.callerThread = caller.callerThread;
  learned.callerThreadProcess = caller.callerThreadProcess;
  learned.callingProcessInfo = caller.callingProcessInfo;
  learned.callingProcessInfoProcess = caller.callingProcessInfoProcess;
  const std::vector<DWORD> clients = client_watch::ClientsOf(object);
  learned.watchedCount = static_cast<uint32_t>(clients.size());
  std::fill(std::begin(learned.watched), std::end(learned.watched), 0u);
  for (size_t i = 0; i < clients.size() && i < std::size(learned.watched); ++i)
    learned.watched[i] = clients[i];
}

// A SID the probe wrote, terminated within its field whatever it holds.
int32_t Verdict(const char16_t (&field)[80], HRESULT& impersonation)
{
  WCHAR sid[80] = {};
  for (size_t i = 0; i + 1 < std::size(sid) && field[i] != 0; ++i) sid[i] = static_cast<WCHAR>(field[i]);
  if (sid[0] == 0) return probe_record::kNotAsked;
  const OwnerVerdict verdict = CheckCallerOwns(sid);
  impersonation = verdict.impersonation;
  return verdict.holds ? 1 : 0;
}

}  // namespace

void AtCreation(IUnknown* object)
{
  probe_record::Record* r = Record(true);
  if (r == nullptr) return;
  r->serverProcess = GetCurrentProcessId();
  r->serverBits = static_cast<uint32_t>(sizeof(void*) * 8);
  r->underWine = platform_client::UnderWine() ? 1 : 0;
  Note(r->creation, object);
  r->liveObjects = objectCount;
}

void AtFirstDirectCall(IUnknown* object)
{
  probe_record::Record* r = Record(true);
  if (r == nullptr) return;
  Note(r->directCall, object);
  HRESULT impersonation = S_FALSE;
  r->foreignVerdict = Verdict(r->foreignSid, impersonation);
  r->ownVerdict = Verdict(r->ownSid, impersonation);
  r->impersonation = impersonation;
}

void AtWayOut(HRESULT suspended)
{
  probe_record::Record* r = Record(false);
  if (r == nullptr) return;
  ++r->wayOuts;
  r->suspendResult = suspended;
}

void ObjectsNow(LONG count)
{
  if (probe_record::Record* r = Record(false)) r->liveObjects = count;
}

void CutOff()
{
  if (probe_record::Record* r = Record(false)) ++r->cutOff;
}

}  // namespace probe_notes

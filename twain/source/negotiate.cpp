// DG_CONTROL / DAT_CAPABILITY: the table's capabilities through the
// negotiation, and those that are arrays: CAP_SUPPORTEDCAPS,
// CAP_SUPPORTEDDATS, ICAP_SUPPORTEDEXTIMAGEINFO and this source's own list
// of jobs.
#include <algorithm>

#include "protocol/custom.h"
#include "source/extended.h"
#include "source/session.h"
#include "source/triplets.h"

namespace twainds {

namespace {

constexpr TW_UINT32 kReadOnly = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;

bool IsText(TW_UINT16 itemType)
{
  return itemType == TWTY_STR32 || itemType == TWTY_STR64 || itemType == TWTY_STR128 ||
         itemType == TWTY_STR255 || itemType == TWTY_STR1024 || itemType == TWTY_UNI512;
}

// What an array capability answers to MSG_QUERYSUPPORT.
Result Supports(const Memory& memory, TW_CAPABILITY& capability, TW_UINT32 operations)
{
  TW_HANDLE container = OneValue(memory, TWTY_INT32, operations);
  if (container == nullptr) return Failed(TWCC_LOWMEMORY);
  capability.ConType = TWON_ONEVALUE;
  capability.hContainer = container;
  return Done();
}

Result Answer(TW_CAPABILITY& capability, TW_HANDLE container)
{
  if (container == nullptr) return Failed(TWCC_LOWMEMORY);
  capability.ConType = TWON_ARRAY;
  capability.hContainer = container;
  return Done();
}

// A read-only array: the same items to every message that reads.
Result ReadOnlyArray(const Memory& memory, TW_UINT16 message, TW_CAPABILITY& capability,
                     TW_UINT16 itemType, const std::vector<Raw>& items)
{
  switch (message) {
    case MSG_QUERYSUPPORT:
      return Supports(memory, capability, kReadOnly);
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT:
      return Answer(capability, Array(memory, itemType, items));
    default:
      return Failed(TWCC_CAPBADOPERATION);
  }
}

// Job names as the application gets them: TWTY_STR255 in the ANSI code
// page, which every toolkit reads; a name that does not fit there (longer,
// or with characters the code page lacks) is left out of the list, and
// can still be named in TWTY_UNI512.
std::vector<std::wstring> Writable(const std::vector<std::wstring>& names)
{
  std::vector<std::wstring> writable;
  for (const std::wstring& name : names)
    if (FitsText(TWTY_STR255, name)) writable.push_back(name);
  return writable;
}

// The names set, as they were set: in TWTY_STR255 when every one fits
// there, else in TWTY_UNI512, so that what was set reads back whole.
TW_HANDLE NamesSet(const Memory& memory, const std::vector<std::wstring>& names)
{
  const bool narrow = Writable(names).size() == names.size();
  return TextArray(memory, narrow ? TWTY_STR255 : TWTY_UNI512, names);
}

}  // namespace

Result Session::CapabilityValue(TW_UINT16 id, Raw& value)
{
  ::twainds::Capability* cap = negotiation_.Find(id);
  if (cap == nullptr) return Failed(TWCC_CAPUNSUPPORTED);
  return cap->Current(value);
}

Result Session::FeederLoaded(Raw& value)
{
  // A walk under way still has pages to give; else whether a job the
  // application would get is there.
  if (walk_.Active()) return value = walk_.Pending() > 0 ? 1 : 0, Done();
  std::vector<Job> jobs;
  const HRESULT hr = Jobs(jobs);
  if (FAILED(hr)) return ScannerFailure(hr);
  value = JobsToTransfer(jobs).empty() ? 0 : 1;
  return Done();
}

Result Session::Capability(TW_UINT16 message, TW_MEMREF data)
{
  // MSG_RESETALL names no capability.
  if (message == MSG_RESETALL) {
    choices_.jobs.clear();
    choices_.frame.reset();
    return negotiation_.ResetAll();
  }
  auto* capability = static_cast<TW_CAPABILITY*>(data);
  if (capability == nullptr) return Failed(TWCC_BADVALUE);
  const Memory& memory = module_.memory;
  switch (capability->Cap) {
    case CAP_SUPPORTEDCAPS: {
      std::vector<Raw> ids;
      for (TW_UINT16 id : negotiation_.Supported()) ids.push_back(id);
      return ReadOnlyArray(memory, message, *capability, TWTY_UINT16, ids);
    }
    case CAP_SUPPORTEDDATS: {
      std::vector<Raw> dats;
      for (TW_UINT32 dat : SupportedOperations()) dats.push_back(dat);
      return ReadOnlyArray(memory, message, *capability, TWTY_UINT32, dats);
    }
    case ICAP_SUPPORTEDEXTIMAGEINFO: {
      std::vector<Raw> infos;
      for (TW_UINT16 info : ExtendedInfoIds()) infos.push_back(info);
      return ReadOnlyArray(memory, message, *capability, TWTY_UINT16, infos);
    }
    case STIBRIDGE_CAP_JOBS:
      return JobNames(message, *capability);
    default:
      break;
  }
  const Result result = negotiation_.Handle(message, *capability);
  // A paper size chosen is the frame: pages come whole again.
  if (capability->Cap == ICAP_SUPPORTEDSIZES && (message == MSG_SET || message == MSG_RESET) &&
      result.rc != TWRC_FAILURE)
    choices_.frame.reset();
  return result;
}

Result Session::JobNames(TW_UINT16 message, TW_CAPABILITY& capability)
{
  const Memory& memory = module_.memory;
  switch (message) {
    case MSG_QUERYSUPPORT:
      return Supports(memory, capability, kReadOnly | TWQC_SET | TWQC_RESET);
    case MSG_GET: {
      std::vector<Job> jobs;
      const HRESULT hr = Jobs(jobs);
      if (FAILED(hr)) return ScannerFailure(hr);
      std::vector<std::wstring> names;
      for (const Job& job : jobs)
        if (job.Takeable()) names.push_back(job.name);
      return Answer(capability, TextArray(memory, TWTY_STR255, Writable(names)));
    }
    case MSG_GETCURRENT:
      return Answer(capability, NamesSet(memory, choices_.jobs));
    case MSG_GETDEFAULT:
      return Answer(capability, TextArray(memory, TWTY_STR255, {}));
    case MSG_RESET:
      choices_.jobs.clear();
      return Answer(capability, TextArray(memory, TWTY_STR255, {}));
    case MSG_SET: {
      Container container;
      const TW_UINT16 condition = ReadContainer(memory, capability, container);
      if (condition != TWCC_SUCCESS) return Failed(condition);
      if (!IsText(container.itemType) ||
          (container.conType != TWON_ARRAY && container.conType != TWON_ONEVALUE))
        return Failed(TWCC_BADVALUE);
      std::vector<Job> jobs;
      const HRESULT hr = Jobs(jobs);
      if (FAILED(hr)) return ScannerFailure(hr);
      // Every name must be one the source can bring over; a name given
      // twice counts once. Nothing changes unless all of them are.
      std::vector<std::wstring> named;
      for (const std::wstring& name : container.texts) {
        const bool takeable = std::any_of(jobs.begin(), jobs.end(), [&](const Job& job) {
          return job.name == name && job.Takeable();
        });
        if (!takeable) return Failed(TWCC_BADVALUE);
        if (std::find(named.begin(), named.end(), name) == named.end()) named.push_back(name);
      }
      choices_.jobs = named;
      return Done();
    }
    default:
      return Failed(TWCC_CAPBADOPERATION);
  }
}

}  // namespace twainds

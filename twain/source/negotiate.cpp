// DG_CONTROL / DAT_CAPABILITY: the table's capabilities through the
// negotiation, and the two that are arrays: CAP_SUPPORTEDCAPS and this
// source's own list of jobs.
#include <algorithm>

#include "protocol/custom.h"
#include "source/session.h"

namespace twainds {

namespace {

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

}  // namespace

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
  if (capability->Cap == CAP_SUPPORTEDCAPS) {
    switch (message) {
      case MSG_QUERYSUPPORT:
        return Supports(memory, *capability, TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT);
      case MSG_GET:
      case MSG_GETCURRENT:
      case MSG_GETDEFAULT: {
        std::vector<Raw> ids;
        for (TW_UINT16 id : negotiation_.Supported()) ids.push_back(id);
        return Answer(*capability, Array(memory, TWTY_UINT16, ids));
      }
      default:
        return Failed(TWCC_CAPBADOPERATION);
    }
  }
  if (capability->Cap == STIBRIDGE_CAP_JOBS) return JobNames(message, *capability);
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
      return Supports(memory, capability,
                      TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET | TWQC_RESET);
    case MSG_GET: {
      std::vector<Job> jobs;
      const HRESULT hr = Jobs(jobs);
      if (FAILED(hr)) return ScannerFailure(hr);
      std::vector<std::wstring> names;
      for (const Job& job : jobs)
        if (job.Takeable()) names.push_back(job.name);
      return Answer(capability, TextArray(memory, names));
    }
    case MSG_GETCURRENT:
      return Answer(capability, TextArray(memory, choices_.jobs));
    case MSG_GETDEFAULT:
      return Answer(capability, TextArray(memory, {}));
    case MSG_RESET:
      choices_.jobs.clear();
      return Answer(capability, TextArray(memory, {}));
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

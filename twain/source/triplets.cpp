#include "source/triplets.h"

#include <algorithm>
#include <new>

namespace twainds {

namespace {

using Handler = Result (*)(Module& module, pTW_IDENTITY origin, TW_UINT16 message, TW_MEMREF data);

struct Triplet {
  TW_UINT32 group;
  TW_UINT16 dat, message;
  // The states it may come in; 3 is a source loaded and not open.
  int lowest, highest;
  // Safe while another operation waits on the server: it changes nothing
  // that operation relies on.
  bool whileBusy;
  Handler handle;
};

Session& S(Module& module)
{
  return *module.session;
}

// The thread that opened the source. The server's object belongs to its
// apartment (from any other thread a call gets RPC_E_WRONG_THREAD), and the
// source's COM set-up is that thread's: while the source is open, every
// triplet from another thread is refused as out of sequence and touches
// nothing; DAT_STATUS there reports that thread's own last condition.
DWORD openingThread = 0;
thread_local TW_UINT16 offThreadCondition = TWCC_SUCCESS;

TW_UINT16 OffThread(TW_UINT16 dat, TW_UINT16 message, TW_MEMREF data)
{
  if (dat == DAT_STATUS && message == MSG_GET && data != nullptr) {
    auto* status = static_cast<TW_STATUS*>(data);
    status->ConditionCode = offThreadCondition;
    status->Reserved = 0;
    offThreadCondition = TWCC_SUCCESS;
    return TWRC_SUCCESS;
  }
  // A second application: the source takes one, whichever thread asks.
  offThreadCondition =
      dat == DAT_IDENTITY && message == MSG_OPENDS ? TWCC_MAXCONNECTIONS : TWCC_SEQERROR;
  return TWRC_FAILURE;
}

Result Identity(Module&, pTW_IDENTITY, TW_UINT16, TW_MEMREF data)
{
  auto* identity = static_cast<TW_IDENTITY*>(data);
  if (identity == nullptr) return Failed(TWCC_BADVALUE);
  IntroduceSource(*identity);
  return Done();
}

Result OpenSource(Module& module, pTW_IDENTITY origin, TW_UINT16, TW_MEMREF data)
{
  // One application at a time.
  if (module.session != nullptr) return Failed(TWCC_MAXCONNECTIONS);
  auto* identity = static_cast<TW_IDENTITY*>(data);
  if (identity == nullptr || origin == nullptr) return Failed(TWCC_BADVALUE);
  module.manager.OpenedFrom(module.caller, origin);
  auto session = std::make_unique<Session>(module);
  const Result result = session->Open(*origin, *identity);
  if (result.rc == TWRC_SUCCESS) {
    module.session = std::move(session);
    ++module.sessions;
    openingThread = GetCurrentThreadId();
  }
  return result;
}

Result CloseSource(Module& module, pTW_IDENTITY, TW_UINT16, TW_MEMREF)
{
  module.session.reset();
  openingThread = 0;
  return Done();
}

Result EntryPoint(Module& module, pTW_IDENTITY, TW_UINT16, TW_MEMREF data)
{
  auto* entry = static_cast<TW_ENTRYPOINT*>(data);
  if (entry == nullptr || entry->Size < sizeof *entry) return Failed(TWCC_BADVALUE);
  module.manager.UseEntry(entry->DSM_Entry);
  module.memory.Use(*entry);
  return Done();
}

// The condition kept for the application at `origin`: the open session's
// for the application that opened it, the module's for any other (one
// whose MSG_OPENDS failed, or was refused while another had the source).
TW_UINT16& ConditionOf(Module& module, const TW_IDENTITY* origin)
{
  if (module.session != nullptr && module.session->Serves(origin)) return module.session->condition;
  return module.condition;
}

Result Status(Module& module, pTW_IDENTITY origin, TW_UINT16, TW_MEMREF data)
{
  auto* status = static_cast<TW_STATUS*>(data);
  if (status == nullptr) return Failed(TWCC_BADVALUE);
  status->ConditionCode = ConditionOf(module, origin);
  status->Reserved = 0;
  return Done();
}

// Operations on the open source: a handler of the session's.
template <Result (Session::*Member)(TW_MEMREF)>
Result On(Module& module, pTW_IDENTITY, TW_UINT16, TW_MEMREF data)
{
  return (S(module).*Member)(data);
}
template <Result (Session::*Member)(TW_UINT16, TW_MEMREF)>
Result With(Module& module, pTW_IDENTITY, TW_UINT16 message, TW_MEMREF data)
{
  return (S(module).*Member)(message, data);
}

constexpr TW_UINT32 C = DG_CONTROL, I = DG_IMAGE;
// The rows the module answers itself come first: they have no session to
// mark busy.
constexpr size_t kModuleRows = 5;
const Triplet kTriplets[] = {
    {C, DAT_IDENTITY, MSG_GET, 3, 7, true, Identity},
    // A second application's MSG_OPENDS comes to an open source: it is told
    // that this source takes one (TWCC_MAXCONNECTIONS), not that it is out
    // of sequence.
    {C, DAT_IDENTITY, MSG_OPENDS, 3, 7, false, OpenSource},
    {C, DAT_IDENTITY, MSG_CLOSEDS, 4, 4, false, CloseSource},
    {C, DAT_ENTRYPOINT, MSG_SET, 3, 4, false, EntryPoint},
    // Also in state 3: a manager asks the source why its MSG_OPENDS failed.
    {C, DAT_STATUS, MSG_GET, 3, 7, true, Status},
    {C, DAT_EVENT, MSG_PROCESSEVENT, 5, 7, true, On<&Session::ProcessEvent>},
    {C, DAT_USERINTERFACE, MSG_ENABLEDS, 4, 4, false, On<&Session::Enable>},
    {C, DAT_USERINTERFACE, MSG_DISABLEDS, 5, 5, false, On<&Session::Disable>},
    {C, DAT_PENDINGXFERS, MSG_GET, 4, 7, false, With<&Session::PendingTransfers>},
    {C, DAT_PENDINGXFERS, MSG_ENDXFER, 6, 7, false, With<&Session::PendingTransfers>},
    {C, DAT_PENDINGXFERS, MSG_RESET, 6, 6, false, With<&Session::PendingTransfers>},
    {C, DAT_SETUPMEMXFER, MSG_GET, 4, 6, false, On<&Session::SetupMemory>},
    {C, DAT_SETUPFILEXFER, MSG_GET, 4, 6, false, With<&Session::SetupFile>},
    {C, DAT_SETUPFILEXFER, MSG_GETDEFAULT, 4, 6, false, With<&Session::SetupFile>},
    {C, DAT_SETUPFILEXFER, MSG_SET, 4, 6, false, With<&Session::SetupFile>},
    {C, DAT_SETUPFILEXFER, MSG_RESET, 4, 4, false, With<&Session::SetupFile>},
    {C, DAT_XFERGROUP, MSG_GET, 4, 6, false, With<&Session::TransferGroup>},
    {C, DAT_XFERGROUP, MSG_SET, 6, 6, false, With<&Session::TransferGroup>},
    {C, DAT_CAPABILITY, MSG_GET, 4, 7, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_GETCURRENT, 4, 7, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_GETDEFAULT, 4, 7, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_QUERYSUPPORT, 4, 7, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_SET, 4, 4, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_SETCONSTRAINT, 4, 4, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_RESET, 4, 4, false, With<&Session::Capability>},
    {C, DAT_CAPABILITY, MSG_RESETALL, 4, 4, false, With<&Session::Capability>},
    {I, DAT_IMAGEINFO, MSG_GET, 6, 7, false, On<&Session::ImageInfo>},
    {I, DAT_IMAGELAYOUT, MSG_GET, 4, 6, false, With<&Session::ImageLayout>},
    {I, DAT_IMAGELAYOUT, MSG_GETDEFAULT, 4, 6, false, With<&Session::ImageLayout>},
    {I, DAT_IMAGELAYOUT, MSG_SET, 4, 4, false, With<&Session::ImageLayout>},
    {I, DAT_IMAGELAYOUT, MSG_RESET, 4, 4, false, With<&Session::ImageLayout>},
    {I, DAT_IMAGENATIVEXFER, MSG_GET, 6, 6, false, On<&Session::NativeTransfer>},
    {I, DAT_IMAGEMEMXFER, MSG_GET, 6, 7, false, On<&Session::MemoryTransfer>},
    {I, DAT_IMAGEFILEXFER, MSG_GET, 6, 6, false, On<&Session::FileTransfer>},
    {I, DAT_IMAGEMEMFILEXFER, MSG_GET, 6, 7, false, On<&Session::MemoryFileTransfer>},
    // Of the page just transferred, until it is ended.
    {I, DAT_EXTIMAGEINFO, MSG_GET, 7, 7, false, On<&Session::ExtendedInfo>},
};

const Triplet* Find(TW_UINT32 group, TW_UINT16 dat, TW_UINT16 message)
{
  for (const Triplet& triplet : kTriplets)
    if (triplet.group == group && triplet.dat == dat && triplet.message == message) return &triplet;
  return nullptr;
}

Result Run(Module& module, const Triplet& triplet, pTW_IDENTITY origin, TW_UINT16 message,
           TW_MEMREF data)
{
  const int state = module.session != nullptr ? static_cast<int>(module.session->state) : 3;
  if (state < triplet.lowest || state > triplet.highest) return Failed(TWCC_SEQERROR);
  if (triplet.whileBusy) return triplet.handle(module, origin, message, data);
  // Anything else waits for the operation under way; the application may
  // ask again once it has returned.
  if (module.busy) return Failed(TWCC_SEQERROR);
  const bool moduleRow = &triplet < kTriplets + kModuleRows;
  if (moduleRow) {
    module.busy = true;
    const Result result = triplet.handle(module, origin, message, data);
    module.busy = false;
    return result;
  }
  Busy busy(module);
  return triplet.handle(module, origin, message, data);
}

}  // namespace

bool SendNotices(Module& module)
{
  const unsigned long sessions = module.sessions;
  bool failsEnable = false;
  for (TW_UINT16 notice = module.manager.Next(); notice != MSG_NULL;
       notice = module.manager.Next()) {
    if (module.manager.Send(notice)) continue;
    // The application may have closed the source from its callback
    // meanwhile: only the session that offered the transfer takes it back.
    Session* session = module.session.get();
    if (notice != MSG_XFERREADY || session == nullptr || module.sessions != sessions) continue;
    failsEnable = session->Withdraw() || failsEnable;
  }
  return failsEnable;
}

std::vector<TW_UINT32> SupportedOperations()
{
  std::vector<TW_UINT32> operations;
  for (const Triplet& triplet : kTriplets) {
    const TW_UINT32 operation = triplet.group << 16 | triplet.dat;
    if (std::find(operations.begin(), operations.end(), operation) == operations.end())
      operations.push_back(operation);
  }
  return operations;
}

TW_UINT16 Dispatch(Module& module, const void* caller, pTW_IDENTITY origin, TW_UINT32 group,
                   TW_UINT16 dat, TW_UINT16 message, TW_MEMREF data)
{
  if (module.session != nullptr && GetCurrentThreadId() != openingThread)
    return OffThread(dat, message, data);
  // The data group's flags (DF_) are no part of the operation.
  const TW_UINT32 plain = group & (DG_CONTROL | DG_IMAGE | DG_AUDIO);
  const Triplet* triplet = Find(plain, dat, message);
  module.caller = caller;
  // Counted for as long as the operation runs: its messages go out once it
  // has ended.
  ++module.calls;
  Result result;
  try {
    result = triplet == nullptr ? Failed(TWCC_BADPROTOCOL)
                                : Run(module, *triplet, origin, message, data);
    if (!module.busy && module.session != nullptr) module.session->AfterOperation();
  } catch (const std::bad_alloc&) {
    result = Failed(TWCC_LOWMEMORY);
  } catch (...) {
    result = Failed(TWCC_BUMMER);
  }
  --module.calls;
  // A call that came while another waits on the server leaves the messages
  // to that one.
  if (module.busy) {
    ConditionOf(module, origin) = result.cc;
    return result.rc;
  }
  try {
    // A transfer offered to an application that cannot be told of it is
    // taken back: with no window of the source's, the MSG_ENABLEDS that
    // offered it fails, so that nobody waits for a message that never
    // comes.
    const bool failsEnable = SendNotices(module);
    if (failsEnable && dat == DAT_USERINTERFACE && message == MSG_ENABLEDS &&
        result.rc == TWRC_SUCCESS)
      result = Failed(TWCC_OPERATIONERROR);
  } catch (...) {
    // A message that could not be queued or sent is one the application
    // never hears of; the operation's own result stands.
  }
  ConditionOf(module, origin) = result.cc;
  return result.rc;
}

}  // namespace twainds

// The source called from a thread other than the one that opened it: the
// server's object belongs to that thread's apartment, so every triplet
// from elsewhere is refused as out of sequence and changes nothing; the
// other thread's COM initialisation is left as it was. The calls go
// straight to DS_Entry: Wine's manager forgets a source whose MSG_CLOSEDS
// failed.
#include <objbase.h>

#include <cstring>

#include "twain_client.h"

namespace {

struct Elsewhere {
  TwainApp* twain;
  TW_UINT16 close = 0, enable = 0, capability = 0, status = 0;
  TW_UINT16 condition = 0;
  HRESULT before = E_FAIL, after = E_FAIL, last = E_FAIL;
};

DWORD WINAPI CallElsewhere(void* data)
{
  auto* run = static_cast<Elsewhere*>(data);
  TwainApp& twain = *run->twain;
  // The thread's own apartment, counted: the source must neither add to it
  // nor take from it.
  run->before = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  TW_CAPABILITY count = {CAP_XFERCOUNT, TWON_DONTCARE16, nullptr};
  run->capability = twain.Direct(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &count);
  if (count.hContainer != nullptr) GlobalFree(count.hContainer);
  TW_USERINTERFACE ui = {FALSE, FALSE, twain.window};
  run->enable = twain.Direct(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  TW_IDENTITY source = twain.source;
  run->close = twain.Direct(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
  TW_STATUS status = {};
  run->status = twain.Direct(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
  run->condition = status.ConditionCode;
  // Still initialised once by this thread (S_FALSE now), and nothing more
  // once that is undone (S_OK again).
  run->after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  CoUninitialize();
  CoUninitialize();
  run->last = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(run->last)) CoUninitialize();
  return 0;
}

}  // namespace

void OtherThreadChecks(TwainApp& twain)
{
  Elsewhere run{&twain};
  HANDLE thread = CreateThread(nullptr, 0, CallElsewhere, &run, 0, nullptr);
  while (thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) twain.Await(20);
  if (thread != nullptr) CloseHandle(thread);
  Check(run.capability == TWRC_FAILURE && run.enable == TWRC_FAILURE &&
            run.close == TWRC_FAILURE && run.status == TWRC_SUCCESS &&
            run.condition == TWCC_SEQERROR,
        "twain-other-thread-refused",
        "capability " + std::to_string(run.capability) + ", enable " + std::to_string(run.enable) +
            ", close " + std::to_string(run.close) + ", status " + std::to_string(run.status) +
            " cc " + std::to_string(run.condition));
  Check(run.before == S_OK && run.after == S_FALSE && run.last == S_OK,
        "twain-other-thread-com-count-unchanged",
        "before " + Hex(run.before) + ", after " + Hex(run.after) + ", at the end " +
            Hex(run.last));
  // The source is open and answers its own thread as before.
  TW_CAPABILITY count = {CAP_XFERCOUNT, TWON_DONTCARE16, nullptr};
  const TW_UINT16 rc = twain.Source(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &count);
  if (count.hContainer != nullptr) GlobalFree(count.hContainer);
  twain.Expect(rc, TWRC_SUCCESS, TWCC_SUCCESS, "twain-other-thread-left-the-source-open");
}

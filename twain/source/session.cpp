#include "source/session.h"

#include "source/job_dialog.h"
#include "source/language.h"
#include "source/strings.h"
#include "source/triplets.h"

namespace twainds {

namespace {

// The window's listing, a few jobs at a time: the first ones enough to fill
// what the window shows at once, then as many a step as keep the
// application's thread free within some 30 ms (a job is six calls to the
// server).
constexpr int kFirstJobs = 12;
constexpr int kMoreJobs = 8;

// This source, as it introduces itself (DAT_IDENTITY).
void Introduce(TW_IDENTITY& identity)
{
  identity.Version.MajorNum = STIBRIDGE_VERSION_MAJOR;
  identity.Version.MinorNum = STIBRIDGE_VERSION_MINOR;
  identity.Version.Language = TWLG_ENGLISH_USA;
  identity.Version.Country = TWCY_USA;
  lstrcpynA(identity.Version.Info, STIBRIDGE_VERSION, sizeof identity.Version.Info);
  identity.ProtocolMajor = STIBRIDGE_PROTOCOLMAJOR;
  identity.ProtocolMinor = STIBRIDGE_PROTOCOLMINOR;
  identity.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
  lstrcpynA(identity.Manufacturer, "stibridge", sizeof identity.Manufacturer);
  lstrcpynA(identity.ProductFamily, "STI scanners", sizeof identity.ProductFamily);
  lstrcpynA(identity.ProductName, "stibridge", sizeof identity.ProductName);
}

std::wstring Widened(const char* text, size_t bytes)
{
  const size_t length = strnlen(text, bytes);
  const int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  std::wstring wide(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), units);
  return wide;
}

}  // namespace

void IntroduceSource(TW_IDENTITY& identity)
{
  Introduce(identity);
}

Busy::Busy(Module& module) : module_(module), wasBusy_(module.busy)
{
  module_.busy = true;
  JobDialog* dialog = module_.session != nullptr ? module_.session->Dialog() : nullptr;
  if (dialog != nullptr && IsWindowEnabled(dialog->Window())) {
    disabled_ = dialog->Window();
    EnableWindow(disabled_, FALSE);
  }
}

Busy::~Busy()
{
  // The window as the source wants it now, if it is still there.
  JobDialog* dialog = module_.session != nullptr ? module_.session->Dialog() : nullptr;
  if (disabled_ != nullptr && dialog != nullptr && dialog->Window() == disabled_)
    EnableWindow(disabled_, dialog->Enabled() ? TRUE : FALSE);
  module_.busy = wasBusy_;
}

Session::Session(Module& module) : module_(module), negotiation_(module.memory), walk_(connection_)
{
}

Session::~Session()
{
  EndMemoryFile();
  walk_.Stop();
  dialog_.reset();
  indicator_.Hide();
  connection_.Close();
  apartment_.Leave();
  module_.manager.Forget();
  // The application's language ends with its session.
  ChooseTextLanguage(0);
}

Result Session::Open(const TW_IDENTITY& application, TW_IDENTITY& source)
{
  const HRESULT entered = apartment_.Enter();
  if (FAILED(entered)) return Failed(TWCC_OPERATIONERROR);
  HRESULT hr = connection_.Open(ReadProfile());
  // The scanner answers for the user's settings, or it is no use.
  ScanSettings settings;
  if (SUCCEEDED(hr)) hr = connection_.ReadSettings(settings);
  if (FAILED(hr)) {
    connection_.Close();
    apartment_.Leave();
    // What DAT_STATUS then says: the server that could not be started (not
    // registered, not installed, refused) is the source's own failure, a
    // scanner the server cannot find or open the device's.
    if (hr == E_OUTOFMEMORY) return Failed(TWCC_LOWMEMORY);
    return Failed(connection_.ServerReached() ? TWCC_CHECKDEVICEONLINE : TWCC_OPERATIONERROR);
  }
  // The identity the manager assigned stays; the rest is this source's.
  Introduce(source);
  module_.manager.Address(application, source);
  applicationId_ = application.Id;
  negotiation_.SpeakTwain2(application.ProtocolMajor >= 2);
  ResolveFileName();
  // Jobs scanned at the device under the settings this application sets
  // are named after it.
  title_ = Widened(application.ProductName, sizeof application.ProductName);
  ChooseTextLanguage(0);
  AddCapabilities();
  state = State::kOpen;
  return Done();
}

void Session::TellUnreachable()
{
  const std::wstring text = connection_.Gone() || !connection_.ServerReached()
                                ? Text(IDS_SERVER_UNREACHABLE)
                                : Format(IDS_SCANNER_UNREACHABLE, {connection_.ScannerName()});
  Busy scope(module_);
  MessageBoxW(IsWindow(parent_) ? parent_ : nullptr, text.c_str(), Text(IDS_MESSAGE_TITLE).c_str(),
              MB_OK | MB_ICONWARNING);
}

Result Session::ScannerFailure(HRESULT hr)
{
  return Failed(hr == E_OUTOFMEMORY ? TWCC_LOWMEMORY : TWCC_OPERATIONERROR);
}

HRESULT Session::Jobs(std::vector<Job>& jobs)
{
  // The window's listing under way ends first: one listing at a time.
  if (listing_.active) {
    const HRESULT hr = ListStep(false, listing_.count);
    jobs = listed_;
    return hr;
  }
  if (walk_.Active() && listedValid_) {
    jobs = listed_;
    return S_OK;
  }
  const HRESULT hr = connection_.ListJobs(listed_);
  listedValid_ = SUCCEEDED(hr);
  jobs = listed_;
  return hr;
}

std::vector<Job> Session::JobsToTransfer(const std::vector<Job>& listed) const
{
  std::vector<Job> chosen;
  if (choices_.jobs.empty()) {
    for (const Job& job : listed)
      if (job.Takeable()) chosen.push_back(job);
    return chosen;
  }
  // The jobs named, in the order named; one gone meanwhile is passed over.
  for (const std::wstring& name : choices_.jobs)
    for (const Job& job : listed)
      if (job.name == name && job.Takeable()) chosen.push_back(job);
  return chosen;
}

Result Session::Enable(TW_MEMREF data)
{
  auto* ui = static_cast<TW_USERINTERFACE*>(data);
  if (ui == nullptr) return Failed(TWCC_BADVALUE);
  parent_ = static_cast<HWND>(ui->hParent);
  if (ui->ShowUI != 0) {
    // The window shows the first jobs at once and the rest as they come.
    const HRESULT hr = ListStep(true, kFirstJobs, true);
    if (FAILED(hr)) {
      // A user who asked for the source's window is told why none comes.
      TellUnreachable();
      return ScannerFailure(hr);
    }
    dialog_ = JobDialog::Create(*this, static_cast<HWND>(ui->hParent),
                                listing_.active ? listing_.jobs : listed_);
    if (dialog_ == nullptr) {
      EndWindowListing();
      return Failed(TWCC_LOWMEMORY);
    }
    if (listing_.active) dialog_->GoOn();
    state = State::kEnabled;
    return Done();
  }
  std::vector<Job> listed;
  const HRESULT hr = Jobs(listed);
  if (FAILED(hr)) return ScannerFailure(hr);
  const std::vector<Job> chosen = JobsToTransfer(listed);
  if (chosen.empty()) return Failed(TWCC_NOMEDIA);
  // No manager to tell the application that the transfers are ready: it
  // would wait for ever.
  if (!module_.manager.CanSend()) return Failed(TWCC_OPERATIONERROR);
  state = State::kEnabled;
  if (!Offer(chosen)) {
    state = State::kOpen;
    return connection_.Gone() ? Failed(TWCC_OPERATIONERROR) : Failed(TWCC_NOMEDIA);
  }
  return Done();
}

bool Session::Offer(const std::vector<Job>& jobs)
{
  if (!walk_.Start(jobs, choices_.transferCount)) return false;
  indicator_.Forget();
  userCancelled_ = false;
  state = State::kReady;
  ShowProgress();
  module_.Notify(MSG_XFERREADY);
  return true;
}

bool Session::Withdraw()
{
  if (state != State::kReady) return false;
  walk_.Stop();
  indicator_.Hide();
  memoryTransfer_ = false;
  EndMemoryFile();
  if (dialog_ != nullptr) {
    state = State::kEnabled;
    dialog_->Enable(true);
    return false;
  }
  state = State::kOpen;
  return true;
}

void Session::ShowProgress()
{
  if (!choices_.indicators || !walk_.Active()) return;
  // Above the source's window when it is shown, in the middle of the
  // application's.
  const HWND centre = IsWindow(parent_) ? parent_ : nullptr;
  const HWND owner = dialog_ != nullptr ? dialog_->Window() : centre;
  const Job& job = walk_.CurrentJob();
  indicator_.Show(owner, centre,
                  Format(IDS_INDICATOR_PROGRESS,
                         {std::to_wstring(walk_.JobNumber()), std::to_wstring(walk_.JobCount()),
                          std::to_wstring(walk_.Page()), std::to_wstring(walk_.PagesInJob()),
                          job.name}));
}

Result Session::CancelTransfer()
{
  walk_.Broken();
  userCancelled_ = true;
  // Nothing more comes of the page: the application ends it.
  memoryDone_ = true;
  memoryFile_.done = true;
  state = State::kTransferring;
  return Done(TWRC_CANCEL);
}

void Session::Settle()
{
  memoryTransfer_ = false;
  memoryDone_ = false;
  strip_ = {};
  EndMemoryFile();
  if (walk_.Pending() > 0) {
    state = State::kReady;
    ShowProgress();
    return;
  }
  walk_.Stop();
  indicator_.Hide();
  state = State::kEnabled;
  // The window offers the jobs again, as they are now.
  if (dialog_ != nullptr && !connection_.Gone()) {
    ListStep(true, kFirstJobs);
    if (listing_.active) dialog_->GoOn();
    dialog_->Enable(true);
  }
}

void Session::Chosen(const std::vector<Job>& jobs)
{
  if (module_.busy || state != State::kEnabled || jobs.empty()) return;
  bool offered = false;
  {
    Busy scope(module_);
    // The application hears of the transfers once the source is no longer
    // busy: it may call the source from its callback.
    ++module_.calls;
    // The jobs as the whole listing has them: one listed later may share a
    // name with one chosen, and a walk may not run beside a listing.
    if (listing_.active) ListStep(false, listing_.count);
    std::vector<Job> chosen;
    if (listedValid_) {
      for (const Job& job : jobs)
        for (const Job& now : listed_)
          if (now.name == job.name && now.Takeable()) chosen.push_back(now);
    } else {
      chosen = jobs;
    }
    offered = !chosen.empty() && Offer(chosen);
    --module_.calls;
  }
  // The window waits, greyed, until the transfers are over.
  if (offered && dialog_ != nullptr) dialog_->Enable(false);
  if (!offered) AfterOperation();
  if (module_.calls == 0) SendNotices(module_);
}

bool Session::Relist(bool fresh)
{
  if (module_.busy || state != State::kEnabled || dialog_ == nullptr) return false;
  // A server that is gone has asked the application to close the source.
  if (connection_.Gone()) return true;
  {
    Busy scope(module_);
    ++module_.calls;
    // A failed listing leaves the list as it was.
    ListStep(fresh, fresh ? kFirstJobs : kMoreJobs);
    --module_.calls;
  }
  if (listing_.active && dialog_ != nullptr) dialog_->GoOn();
  AfterOperation();
  if (module_.calls == 0) SendNotices(module_);
  return true;
}

HRESULT Session::ListStep(bool fresh, int jobs, bool opening)
{
  if (fresh || !listing_.active) {
    if (listing_.active) EndWindowListing();
    listedValid_ = false;
    int count = 0;
    const HRESULT hr = connection_.StartListing(count);
    if (FAILED(hr)) return hr;
    listing_.active = true;
    listing_.count = count;
    listing_.opening = opening;
  }
  const size_t shown = listing_.jobs.size();
  for (int read = 0; read < jobs && listing_.next < listing_.count; ++read) {
    Job job;
    const HRESULT hr = connection_.ReadJob(listing_.next++, job);
    if (FAILED(hr)) {
      listing_ = WindowListing();
      return hr;
    }
    if (hr == S_OK) listing_.jobs.push_back(job);
  }
  if (listing_.next < listing_.count) {
    // An opening window shows the jobs as they come (the first ones are
    // those it opens with); a list already shown changes once, at the
    // end, what the user chose kept.
    if (dialog_ != nullptr && listing_.opening)
      dialog_->Append(std::vector<Job>(listing_.jobs.begin() + static_cast<long>(shown),
                                       listing_.jobs.end()));
    return S_OK;
  }
  const HRESULT hr = connection_.EndListing(listing_.jobs);
  listed_ = std::move(listing_.jobs);
  listedValid_ = SUCCEEDED(hr);
  listing_ = WindowListing();
  if (dialog_ != nullptr && SUCCEEDED(hr)) dialog_->Refill(listed_);
  return hr;
}

void Session::EndWindowListing()
{
  if (!listing_.active) return;
  // What the reads left on the server is undone; the jobs not yet read are
  // not known, so nothing is.
  connection_.EndListing(listing_.jobs);
  listedValid_ = false;
  listing_ = WindowListing();
}

void Session::Cancelled()
{
  if (module_.busy || state != State::kEnabled) return;
  module_.Notify(MSG_CLOSEDSREQ);
}

Result Session::Disable(TW_MEMREF)
{
  EndWindowListing();
  // A multi-page file ends with the transfers of this enabling.
  EndMultiPageFile();
  EndMemoryFile();
  walk_.Stop();
  dialog_.reset();
  indicator_.Hide();
  state = State::kOpen;
  return Done();
}

Result Session::ProcessEvent(TW_MEMREF data)
{
  auto* event = static_cast<TW_EVENT*>(data);
  if (event == nullptr) return Failed(TWCC_BADVALUE);
  event->TWMessage = MSG_NULL;
  // The window's own messages are the only events of this source; while a
  // call to the server is under way they wait for the next loop.
  auto* message = static_cast<MSG*>(event->pEvent);
  if (message != nullptr && !module_.busy && indicator_.Message(message)) return Done(TWRC_DSEVENT);
  if (message != nullptr && dialog_ != nullptr && !module_.busy && dialog_->Message(message))
    return Done(TWRC_DSEVENT);
  return Done(TWRC_NOTDSEVENT);
}

void Session::AfterOperation()
{
  if (!connection_.Gone() || closeRequested_ || state == State::kOpen) return;
  closeRequested_ = true;
  module_.Notify(MSG_CLOSEDSREQ);
}

}  // namespace twainds

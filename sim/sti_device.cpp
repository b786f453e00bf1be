// The STI device object: the device lock with its time-out, escapes forwarded
// to the driver, and the journal of every lock, escape and unlock.
#include <chrono>
#include <cstring>
#include <thread>

#include "protocol/driver_protocol.h"
#include "sim/sti_objects.h"

namespace sim {

namespace {

std::atomic<DWORD> nextSerial{1};

DWORD ElapsedMs(std::chrono::steady_clock::time_point since)
{
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - since)
                                .count());
}

// The request's operation, for faults aimed at one use of ItemTransfer.
DWORD RequestOperation(DWORD code, const void* in, DWORD inSize)
{
  if (code != static_cast<DWORD>(driver::EscapeCode::ItemTransfer) || in == nullptr ||
      inSize != sizeof(driver::RequestBlock))
    return STISIM_ANY;
  DWORD operation;
  std::memcpy(&operation, in, sizeof operation);
  return operation;
}

}  // namespace

CStiDevice::CStiDevice(std::shared_ptr<SimDevice> device)
    : SimObject(IID_IStiDevice), device_(std::move(device)), serial_(nextSerial++)
{
  Simulator::Instance().CountObject(STISIM_OBJECT_DEVICE, +1);
}

StiSimJournalEntry CStiDevice::JournalEntry(DWORD kind) const
{
  StiSimJournalEntry entry{};
  entry.kind = kind;
  entry.device = device_->position;
  entry.object = serial_;
  entry.operation = STISIM_ANY;
  return entry;
}

CStiDevice::~CStiDevice()
{
  // A device object that goes away gives the lock up, and a driver that
  // binds its blocks to the object reclaims them.
  while (device_->lock.HeldBy(this))
    if (FAILED(device_->lock.Release(this))) break;
  device_->driver.ObjectReleased(serial_);
  Simulator::Instance().CountObject(STISIM_OBJECT_DEVICE, -1);
}

HRESULT STDMETHODCALLTYPE CStiDevice::Initialize(HINSTANCE, LPCWSTR, DWORD, DWORD)
{
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::GetCapabilities(PSTI_DEV_CAPS caps)
{
  if (caps == nullptr) return E_INVALIDARG;
  caps->dwGeneric = device_->spec.capabilities;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::GetStatus(PSTI_DEVICE_STATUS status)
{
  if (status == nullptr) return E_INVALIDARG;
  status->dwOnlineState = device_->spec.attached ? 0x1u : 0x40u;  // operational / offline
  status->dwHardwareStatusCode = 0;
  status->dwEventHandlingState = 0;
  status->dwPollingInterval = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::DeviceReset()
{
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::Diagnostic(LPSTI_DIAG diag)
{
  if (diag == nullptr) return E_INVALIDARG;
  diag->dwBasicDiagCode = 0;
  diag->dwVendorDiagCode = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::Escape(STI_RAW_CONTROL_CODE code, LPVOID in, DWORD inSize,
                                             LPVOID out, DWORD outSize, LPDWORD sizeWord)
{
  Simulator& simulator = Simulator::Get();
  StiSimJournalEntry entry = JournalEntry(STISIM_JOURNAL_ESCAPE);
  entry.code = code;
  entry.inSize = inSize;
  entry.outSize = outSize;
  entry.hasSizeWord = sizeWord != nullptr;
  entry.sizeBefore = sizeWord != nullptr ? *sizeWord : 0;
  entry.operation = RequestOperation(code, in, inSize);
  const auto started = std::chrono::steady_clock::now();

  HRESULT hr;
  DWORD breach = 0;
  // The driver serves only the holder of the device lock.
  const bool locked = !device_->spec.requireLock || device_->lock.HeldBy(this);
  std::optional<StiSimFault> fault;
  if (locked) fault = simulator.faults.Take(code, device_->position, entry.operation);
  // A scenario's own faults come first; random ones only where none applies.
  if (locked && !fault) {
    fault = simulator.chaos.Draw(code, 0);
    if (fault) entry.chaos = fault->mode;
  }
  if (!locked) {
    hr = STIERR_NEEDS_LOCK;
  } else if (fault && fault->mode == STISIM_FAULT_FAIL && device_->driver.FailsPartWay(code)) {
    EscapeTweak tweak;
    tweak.failAfter = fault->result;
    hr = device_->driver.Escape(code, in, inSize, out, outSize, sizeWord, tweak, serial_, breach);
  } else if (fault && fault->mode == STISIM_FAULT_FAIL) {
    hr = fault->result;
  } else if (fault && fault->mode == STISIM_FAULT_TIMEOUT) {
    std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
  } else {
    EscapeTweak tweak;
    tweak.empty = fault && fault->mode == STISIM_FAULT_EMPTY;
    tweak.countDelta = fault && fault->mode == STISIM_FAULT_MISMATCH ? fault->countDelta : 0;
    hr = device_->driver.Escape(code, in, inSize, out, outSize, sizeWord, tweak, serial_, breach);
  }
  if (FAILED(hr)) lastError_ = static_cast<DWORD>(HRESULT_CODE(hr));

  entry.sizeAfter = sizeWord != nullptr ? *sizeWord : 0;
  entry.result = hr;
  entry.elapsedMs = ElapsedMs(started);
  simulator.journal.Add(entry);
  if (breach != 0) {
    StiSimJournalEntry report = JournalEntry(STISIM_JOURNAL_BREACH);
    report.code = code;
    report.breach = breach;
    report.result = hr;
    simulator.NoteBreach();
    simulator.journal.Add(report);
  }
  switch (static_cast<driver::EscapeCode>(code)) {
    case driver::EscapeCode::GetScanSettings:
    case driver::EscapeCode::GetCapabilities:
    case driver::EscapeCode::FreeDriverBlock:
    case driver::EscapeCode::GetUserRecord:
    case driver::EscapeCode::GetItemList:
      simulator.NoteCensus();
      break;
    default:
      break;
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE CStiDevice::GetLastError(LPDWORD error)
{
  if (error == nullptr) return E_INVALIDARG;
  *error = lastError_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CStiDevice::LockDevice(DWORD timeoutMs)
{
  Simulator& simulator = Simulator::Get();
  const auto started = std::chrono::steady_clock::now();
  const DWORD wait = simulator.LockTimeout(timeoutMs);
  HRESULT hr;
  std::optional<StiSimFault> fault =
      simulator.faults.Take(STISIM_TARGET_LOCK, device_->position, STISIM_ANY);
  DWORD timedOutAfter = wait;
  DWORD chaos = 0;
  if (!fault) {
    fault = simulator.chaos.Draw(STISIM_TARGET_LOCK, wait);
    if (fault) {
      chaos = fault->mode;
      timedOutAfter = fault->delayMs;
    }
  }
  if (fault && fault->mode == STISIM_FAULT_FAIL) {
    hr = fault->result;
  } else if (fault && fault->mode == STISIM_FAULT_TIMEOUT) {
    // As if another holder kept the device for the whole wait.
    if (timedOutAfter != INFINITE)
      std::this_thread::sleep_for(std::chrono::milliseconds(timedOutAfter));
    hr = STIERR_DEVICE_LOCKED;
  } else {
    hr = device_->lock.Acquire(this, wait);
  }
  if (FAILED(hr)) lastError_ = hr == STIERR_DEVICE_LOCKED ? DWORD(ERROR_TIMEOUT) : HRESULT_CODE(hr);

  StiSimJournalEntry entry = JournalEntry(STISIM_JOURNAL_LOCK);
  entry.chaos = chaos;
  entry.code = timeoutMs;
  entry.result = hr;
  entry.elapsedMs = ElapsedMs(started);
  simulator.journal.Add(entry);
  return hr;
}

HRESULT STDMETHODCALLTYPE CStiDevice::UnLockDevice()
{
  Simulator& simulator = Simulator::Get();
  std::optional<StiSimFault> fault =
      simulator.faults.Take(STISIM_TARGET_UNLOCK, device_->position, STISIM_ANY);
  DWORD chaos = 0;
  // Only an unlock that gives a lock up can meet a random fault.
  if (!fault && device_->lock.HeldBy(this)) {
    fault = simulator.chaos.Draw(STISIM_TARGET_UNLOCK, 0);
    if (fault) chaos = fault->mode;
  }
  HRESULT hr = device_->lock.Release(this);
  // An injected failure still gives the lock up: the caller cannot retry.
  if (SUCCEEDED(hr) && fault && fault->mode == STISIM_FAULT_FAIL) hr = fault->result;
  if (FAILED(hr)) lastError_ = static_cast<DWORD>(HRESULT_CODE(hr));

  StiSimJournalEntry entry = JournalEntry(STISIM_JOURNAL_UNLOCK);
  entry.chaos = chaos;
  entry.result = hr;
  simulator.journal.Add(entry);
  return hr;
}

HRESULT STDMETHODCALLTYPE CStiDevice::RawReadData(LPVOID, LPDWORD, LPOVERLAPPED)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::RawWriteData(LPVOID, DWORD, LPOVERLAPPED)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::RawReadCommand(LPVOID, LPDWORD, LPOVERLAPPED)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::RawWriteCommand(LPVOID, DWORD, LPOVERLAPPED)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::Subscribe(LPSTISUBSCRIBE)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::GetLastNotificationData(LPSTINOTIFY)
{
  return STIERR_UNSUPPORTED;
}
HRESULT STDMETHODCALLTYPE CStiDevice::UnSubscribe()
{
  return STIERR_UNSUPPORTED;
}

HRESULT STDMETHODCALLTYPE CStiDevice::GetLastErrorInfo(STI_ERROR_INFO* info)
{
  if (info == nullptr) return E_INVALIDARG;
  info->dwGenericError = lastError_;
  info->dwVendorError = 0;
  info->szExtendedErrorText[0] = 0;
  return S_OK;
}

}  // namespace sim

#include "sim/simulator.h"

#include <chrono>
#include <fstream>
#include <sstream>

#include "protocol/driver_protocol.h"
#include "sim/sim_heap.h"
#include "sim/thumbnail.h"

namespace sim {

namespace {

std::string NarrowPath(const Text& path)
{
  char buffer[1024];
  int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
  return n > 0 ? std::string(buffer) : std::string();
}

bool ReadFileText(const Text& path, std::string& text)
{
  std::ifstream file(NarrowPath(path), std::ios::binary);
  if (!file) return false;
  std::ostringstream out;
  out << file.rdbuf();
  text = out.str();
  return true;
}

bool ReadConfigString(HKEY key, const WCHAR* name, Text& value)
{
  WCHAR buffer[1024] = {};
  DWORD size = sizeof buffer - sizeof(WCHAR);
  DWORD type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return false;
  value = Text(buffer, TextLength(buffer, size / sizeof(WCHAR)));
  return !value.empty();
}

}  // namespace

size_t TextLength(const WCHAR* text, size_t limit)
{
  size_t n = 0;
  while (n < limit && text[n] != 0) ++n;
  return n;
}

bool CopyText(const Text& text, WCHAR* buffer, DWORD capacity)
{
  if (buffer == nullptr || capacity == 0) return false;
  size_t n = text.size() < capacity ? text.size() : capacity - 1;
  for (size_t i = 0; i < n; ++i) buffer[i] = text[i];
  buffer[n] = 0;
  return n == text.size();
}

HRESULT DeviceLock::Acquire(const void* holder, DWORD timeoutMs)
{
  std::unique_lock<std::mutex> guard(mutex_);
  auto free = [&] { return holder_ == nullptr || holder_ == holder; };
  if (timeoutMs == INFINITE)
    released_.wait(guard, free);
  else if (!released_.wait_for(guard, std::chrono::milliseconds(timeoutMs), free))
    return STIERR_DEVICE_LOCKED;
  holder_ = holder;
  ++depth_;
  return S_OK;
}

HRESULT DeviceLock::Release(const void* holder)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (holder_ != holder) return STIERR_NEEDS_LOCK;
  if (--depth_ == 0) {
    holder_ = nullptr;
    released_.notify_all();
  }
  return S_OK;
}

bool DeviceLock::HeldBy(const void* holder)
{
  std::lock_guard<std::mutex> guard(mutex_);
  return holder_ == holder;
}

void Journal::Add(const StiSimJournalEntry& e)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (!limit_ || *limit_ > 0) {
    if (limit_ && entries_.size() >= *limit_) entries_.pop_front();
    entries_.push_back(e);
  }
  if (file_ == nullptr) return;
  // One line per entry, for tests in another process.
  auto u = [](DWORD v) { return std::to_string(static_cast<unsigned long>(v)); };
  char result[16];
  std::snprintf(result, sizeof result, "0x%08X", static_cast<unsigned>(e.result));
  std::string line;
  if (e.kind == STISIM_JOURNAL_LOCK) {
    line = "lock device=" + u(e.device) + " object=" + u(e.object) + " timeout=" + u(e.code) +
           " elapsed=" + u(e.elapsedMs) + " result=" + result;
  } else if (e.kind == STISIM_JOURNAL_UNLOCK) {
    line = "unlock device=" + u(e.device) + " object=" + u(e.object) + " result=" + result;
  } else if (e.kind == STISIM_JOURNAL_BREACH) {
    const char* name = driver::EscapeCodeName(e.code);
    const char* what = StiSimBreachName(e.breach);
    line = "breach device=" + u(e.device) + " object=" + u(e.object) + " code=" + u(e.code) +
           " name=" + (name ? name : "unknown") + " what=" + (what ? what : "unknown");
  } else {
    const char* name = driver::EscapeCodeName(e.code);
    line = "escape device=" + u(e.device) + " object=" + u(e.object) + " code=" + u(e.code) +
           " name=" + (name ? name : "unknown") + " in=" + u(e.inSize) + " out=" + u(e.outSize) +
           " size=" + u(e.sizeBefore) + "->" + u(e.sizeAfter) + " result=" + result;
  }
  // Only a call that met a random fault says so: every other line reads as
  // it always has.
  static const char* const kModeNames[] = {"", "fail", "timeout", "empty", "mismatch"};
  if (e.chaos != 0 && e.chaos < sizeof kModeNames / sizeof kModeNames[0])
    line += std::string(" chaos=") + kModeNames[e.chaos];
  std::fputs((line + "\n").c_str(), file_);
  std::fflush(file_);
}

void Journal::AddFileLine(const std::string& line)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr) return;
  std::fputs((line + "\n").c_str(), file_);
  std::fflush(file_);
}

DWORD Journal::Count()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<DWORD>(entries_.size());
}

bool Journal::At(DWORD index, StiSimJournalEntry& entry)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (index >= entries_.size()) return false;
  entry = entries_[index];
  return true;
}

void Journal::Clear()
{
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
}

void Journal::SetLimit(std::optional<DWORD> entries)
{
  std::lock_guard<std::mutex> guard(mutex_);
  limit_ = entries;
  while (limit_ && entries_.size() > *limit_) entries_.pop_front();
}

bool Journal::Limited()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return limit_.has_value();
}

void Journal::SetFile(const Text& path)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = path.empty() ? nullptr : std::fopen(NarrowPath(path).c_str(), "ab");
}

void FaultTable::Set(const std::vector<StiSimFault>& faults)
{
  std::lock_guard<std::mutex> guard(mutex_);
  faults_.clear();
  for (const StiSimFault& f : faults) faults_.push_back({f, 0});
}

void FaultTable::Add(const StiSimFault& fault)
{
  std::lock_guard<std::mutex> guard(mutex_);
  faults_.push_back({fault, 0});
}

std::optional<StiSimFault> FaultTable::Take(DWORD target, DWORD device, DWORD operation)
{
  std::lock_guard<std::mutex> guard(mutex_);
  for (Active& a : faults_) {
    const StiSimFault& f = a.spec;
    if (f.target != target) continue;
    if (f.device != STISIM_ANY && f.device != device) continue;
    if (f.operation != STISIM_ANY && f.operation != operation) continue;
    DWORD seen = a.seen++;
    if (seen < f.skip) continue;
    if (f.times != 0 && seen - f.skip >= f.times) continue;
    return f;
  }
  return std::nullopt;
}

namespace {

// SplitMix64: one well-mixed 64-bit number for each position of the sequence.
unsigned long long Mix(unsigned long long x)
{
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

bool AppliesTo(DWORD mode, DWORD target)
{
  // A lock can only fail or time out, an unlock only fail; an escape meets
  // all four.
  if (target == STISIM_TARGET_LOCK)
    return mode == STISIM_FAULT_FAIL || mode == STISIM_FAULT_TIMEOUT;
  if (target == STISIM_TARGET_UNLOCK) return mode == STISIM_FAULT_FAIL;
  return true;
}

}  // namespace

void Chaos::Set(const std::optional<ChaosSpec>& spec)
{
  std::lock_guard<std::mutex> guard(mutex_);
  spec_ = spec;
  calls_ = 0;
  injected_ = 0;
}

std::optional<StiSimFault> Chaos::Draw(DWORD target, DWORD lockWait)
{
  std::lock_guard<std::mutex> guard(mutex_);
  if (!spec_) return std::nullopt;
  const ChaosSpec& spec = *spec_;
  const bool covered = target == STISIM_TARGET_LOCK     ? spec.locks
                       : target == STISIM_TARGET_UNLOCK ? spec.unlocks
                                                        : spec.escapes;
  if (!covered) return std::nullopt;
  const unsigned long long draw = Mix(spec.seed ^ Mix(calls_++));
  // The top 53 bits as a fraction in [0, 1).
  const double chance = static_cast<double>(draw >> 11) * (1.0 / 9007199254740992.0);
  if (chance >= spec.rate) return std::nullopt;
  std::vector<DWORD> modes;
  for (DWORD mode : spec.modes)
    if (AppliesTo(mode, target)) modes.push_back(mode);
  if (modes.empty()) return std::nullopt;

  const unsigned long long pick = Mix(draw);
  StiSimFault fault{};
  fault.target = target;
  fault.mode = modes[pick % modes.size()];
  fault.result = spec.result;
  fault.delayMs =
      target == STISIM_TARGET_LOCK ? spec.lockTimeoutMs.value_or(lockWait) : spec.delayMs;
  const LONG size =
      1 + static_cast<LONG>((pick >> 16) % static_cast<unsigned long long>(spec.countDelta));
  fault.countDelta = (pick >> 63) != 0 ? -size : size;
  fault.times = 1;
  fault.device = STISIM_ANY;
  fault.operation = STISIM_ANY;
  ++injected_;
  return fault;
}

DWORD Chaos::Injected()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return injected_;
}

Simulator& Simulator::Instance()
{
  // Never destroyed: blocks handed out stay valid until the process ends.
  static Simulator* simulator = new Simulator();
  return *simulator;
}

Simulator& Simulator::Get()
{
  Simulator& simulator = Instance();
  if (!simulator.loaded_) {
    std::lock_guard<std::mutex> guard(simulator.configMutex_);
    if (!simulator.loaded_) simulator.LoadConfigured();
  }
  return simulator;
}

void Simulator::LoadConfigured()
{
  // A process that COM started cannot be given an environment: the
  // installer names the scenario and the journal file in the registry.
  Text scenarioPath, journalPath;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    ReadConfigString(key, W("Scenario"), scenarioPath);
    ReadConfigString(key, W("Journal"), journalPath);
    RegCloseKey(key);
  }
  if (!scenarioPath.empty() && SUCCEEDED(LoadFile(scenarioPath, Use::Installed))) {
    journal.SetFile(journalPath);
    // Nobody in a server process reads the journal from memory, and a
    // server runs for hours: unless the scenario says otherwise, only the
    // file keeps it.
    if (!journal.Limited()) journal.SetLimit(0);
    return;
  }
  Scenario scenario;
  std::string error;
  if (!ParseScenario(DefaultScenarioJson(), scenario, error)) scenario = Scenario();
  Load(scenario, Use::InProcess);
}

HRESULT Simulator::LoadFile(const Text& path, Use use)
{
  std::string text, error;
  Scenario scenario;
  if (!ReadFileText(path, text)) {
    SetLastError("cannot read " + TextToUtf8(path));
    return STIERR_OBJECTNOTFOUND;
  }
  if (!ParseScenario(text, scenario, error)) {
    SetLastError(error);
    return E_INVALIDARG;
  }
  return Load(scenario, use);
}

namespace {

Text DeletionName(DWORD deviceIndex, const Text& itemId)
{
  return Utf8ToText(std::to_string(deviceIndex) + ":") + itemId;
}

}  // namespace

void RecordDeletion(DWORD deviceIndex, const Text& itemId)
{
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeletedKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  const DWORD one = 1;
  RegSetValueExW(key, DeletionName(deviceIndex, itemId).c_str(), 0, REG_DWORD,
                 reinterpret_cast<const BYTE*>(&one), sizeof one);
  RegCloseKey(key);
}

bool WasDeleted(DWORD deviceIndex, const Text& itemId)
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeletedKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  const bool deleted = RegQueryValueExW(key, DeletionName(deviceIndex, itemId).c_str(), nullptr,
                                        nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return deleted;
}

void ForgetDeletions()
{
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return;
  RegDeleteKeyW(key, W("Deleted"));
  RegCloseKey(key);
}

HRESULT Simulator::Load(const Scenario& scenario, Use use)
{
  std::lock_guard<std::mutex> guard(mutex_);
  const Text tag = use == Use::InProcess ? kTagInProcess : kTagInstalled;
  const DWORD base = use == Use::InProcess ? kInProcessIndexBase : 0;
  RemoveDeviceRecords(tag);
  HRESULT hr = InstallDeviceRecords(scenario, base, tag);
  if (FAILED(hr)) {
    lastError_ = "cannot write the device records to the registry";
    return hr;
  }
  // Device objects of an earlier scenario keep their devices alive, so blocks
  // they handed out stay valid; new objects see only the new scenario.
  devices_.clear();
  for (size_t i = 0; i < scenario.devices.size(); ++i) {
    DeviceSpec spec = scenario.devices[i];
    if (use == Use::Installed && scenario.keepDeletions) {
      // The jobs an earlier process of this installation deleted are gone.
      spec.keepDeletions = true;
      std::erase_if(spec.jobs,
                    [&](const JobSpec& job) { return WasDeleted(spec.index, job.itemId); });
    }
    devices_.push_back(std::make_shared<SimDevice>(
        static_cast<DWORD>(i), spec, InternalName(base + spec.index), scenario.conduct));
  }
  tag_ = tag;
  launch_ = scenario.launch;
  faults.Set(scenario.faults);
  chaos.Set(scenario.chaos);
  lockOverride_ = scenario.lockTimeoutOverride;
  conduct_ = scenario.conduct;
  breaches_ = 0;
  census_ = scenario.census;
  journal.Clear();
  journal.SetLimit(scenario.journalLimit);
  journal.SetFile(Text());
  lastError_.clear();
  loaded_ = true;
  return S_OK;
}

HRESULT Simulator::WriteThumbnails()
{
  std::vector<std::shared_ptr<SimDevice>> devices;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    devices = devices_;
  }
  for (const auto& device : devices) {
    std::string error;
    if (!sim::WriteThumbnails(device->spec, "devices[" + std::to_string(device->position) + "]",
                              error)) {
      SetLastError(error);
      return E_FAIL;
    }
  }
  return S_OK;
}

void Simulator::CountObject(DWORD kind, int change)
{
  std::atomic<LONG>& count = kind == STISIM_OBJECT_ROOT ? liveRoots_ : liveDevices_;
  count += change;
  NoteCensus();
}

LONG Simulator::LiveObjects(DWORD kind) const
{
  if (kind == STISIM_OBJECT_ROOT) return liveRoots_;
  if (kind == STISIM_OBJECT_DEVICE) return liveDevices_;
  return -1;
}

void Simulator::NoteCensus()
{
  if (!census_) return;
  std::vector<std::shared_ptr<SimDevice>> devices;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    devices = devices_;
  }
  LONG blocks[4] = {};
  const DWORD kinds[4] = {STISIM_BLOCK_SETTINGS, STISIM_BLOCK_CAPABILITIES, STISIM_BLOCK_ITEM_LIST,
                          STISIM_BLOCK_USER_RECORD};
  size_t bytes = 0;
  for (const auto& device : devices) {
    for (int k = 0; k < 4; ++k) blocks[k] += device->driver.OutstandingBlocks(kinds[k]);
    bytes += device->driver.OutstandingBytes();
  }
  size_t heap = 0;
  {
    std::lock_guard<std::mutex> guard(heapMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - heapWalked_ >= std::chrono::milliseconds(250)) {
      heapBytes_ = sim::HeapBytes();
      heapWalked_ = now;
    }
    heap = heapBytes_;
  }
  journal.AddFileLine(
      "census roots=" + std::to_string(liveRoots_) + " devices=" + std::to_string(liveDevices_) +
      " settings=" + std::to_string(blocks[0]) + " capabilities=" + std::to_string(blocks[1]) +
      " lists=" + std::to_string(blocks[2]) + " users=" + std::to_string(blocks[3]) + " bytes=" +
      std::to_string(bytes) + (heap != 0 ? " heap=" + std::to_string(heap) : std::string()));
}

ConductSpec Simulator::Conduct()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return conduct_;
}

std::string Simulator::LastError()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return lastError_;
}

void Simulator::SetLastError(const std::string& error)
{
  std::lock_guard<std::mutex> guard(mutex_);
  lastError_ = error;
}

std::shared_ptr<SimDevice> Simulator::FindDevice(const WCHAR* internalName)
{
  if (!IsInternalName(internalName)) return nullptr;
  std::lock_guard<std::mutex> guard(mutex_);
  // The class GUID part may come in either case; the index is digits.
  for (const auto& device : devices_)
    if (lstrcmpiW(device->internalName.c_str(), internalName) == 0) return device;
  return nullptr;
}

std::shared_ptr<SimDevice> Simulator::DeviceAt(DWORD position)
{
  std::lock_guard<std::mutex> guard(mutex_);
  return position < devices_.size() ? devices_[position] : nullptr;
}

DWORD Simulator::DeviceCount()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<DWORD>(devices_.size());
}

Text Simulator::Tag()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return tag_;
}

std::optional<LaunchSpec> Simulator::Launch()
{
  std::lock_guard<std::mutex> guard(mutex_);
  return launch_;
}

void Simulator::SetLaunch(std::optional<LaunchSpec> launch)
{
  std::lock_guard<std::mutex> guard(mutex_);
  launch_ = std::move(launch);
}

DWORD Simulator::LockTimeout(DWORD requested) const
{
  DWORD override = lockOverride_;
  return override != 0 ? override : requested;
}

}  // namespace sim

#include "server/client_watch.h"

#include <algorithm>

#include "server/lifetime.h"
#include "server/probe_notes.h"

namespace client_watch {

namespace {

const System kPlatform = {
    platform_client::CallingProcesses, platform_client::DirectCaller,
    platform_client::HasEnded,         platform_client::CloseProcess,
    platform_client::StartTicks,       platform_client::StopTicks,
    platform_server::DisconnectStubs,
};

const System* system = &kPlatform;

// A process held open for as long as a watched object names it or it holds
// server locks.
struct Process {
  HANDLE handle;
  DWORD id;
  size_t objects;  // watched objects that name it
  LONG locks;      // server locks it holds
  bool ended;
};

struct Watched {
  IUnknown* object;            // its identity; no reference held
  std::vector<DWORD> clients;  // the processes that may have made it
  bool exact;                  // its one client, as its first direct call named it
  bool cutOff;
};

std::vector<Process> processes;
std::vector<Watched> watched;

Process* Find(DWORD id)
{
  for (Process& process : processes)
    if (process.id == id) return &process;
  return nullptr;
}

Watched* FindWatched(IUnknown* object)
{
  for (Watched& entry : watched)
    if (entry.object == object) return &entry;
  return nullptr;
}

// Takes `client` (just opened) into the table: a process held already is the
// same process, since its id cannot have been given to another one while it
// is held.
Process& Hold(const platform_client::ClientProcess& client)
{
  if (Process* known = Find(client.id)) {
    system->closeProcess(client.handle);
    return *known;
  }
  processes.push_back({client.handle, client.id, 0, 0, false});
  return processes.back();
}

// Lets go of processes that nothing names any more.
void LetGoOfUnused()
{
  for (size_t i = processes.size(); i-- > 0;) {
    if (processes[i].objects > 0 || processes[i].locks > 0) continue;
    system->closeProcess(processes[i].handle);
    processes.erase(processes.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// The timer runs while anything is watched.
void Tick()
{
  if (watched.empty() && processes.empty())
    system->stopTicks();
  else
    system->startTicks(kClientWatchMilliseconds, Check);
}

void Unname(const Watched& entry)
{
  for (DWORD id : entry.clients)
    if (Process* process = Find(id); process != nullptr && process->objects > 0) --process->objects;
}

}  // namespace

void Watch(IUnknown* object)
{
  if (object == nullptr) return;
  std::vector<platform_client::ClientProcess> learned;
  system->callingProcesses(learned);
  if (learned.empty()) return;
  Watched entry{object, {}, false, false};
  for (const platform_client::ClientProcess& client : learned) {
    ++Hold(client).objects;
    entry.clients.push_back(client.id);
  }
  watched.push_back(std::move(entry));
  Tick();
}

void LearnCaller(IUnknown* object)
{
  if (object == nullptr) return;
  Watched* entry = FindWatched(object);
  if (entry != nullptr && (entry->exact || entry->cutOff)) return;
  platform_client::ClientProcess caller{};
  if (!system->directCaller(caller)) return;
  Process& process = Hold(caller);
  ++process.objects;
  if (entry == nullptr) {
    watched.push_back({object, {}, true, false});
    entry = &watched.back();
  } else {
    Unname(*entry);
  }
  entry->clients = {caller.id};
  entry->exact = true;
  LetGoOfUnused();
  Tick();
}

void LockServer(BOOL lock)
{
  platform_client::ClientProcess caller{};
  if (!system->directCaller(caller)) {
    CountServerLock(lock);
    return;
  }
  Process& process = Hold(caller);
  if (lock) {
    ++process.locks;
    CountServerLock(TRUE);
  } else if (process.locks > 0) {
    --process.locks;
    CountServerLock(FALSE);
  } else {
    // An unlock without a lock of its own takes nobody else's.
    DropServerLocks(0);
  }
  LetGoOfUnused();
  Tick();
}

void Forget(IUnknown* object)
{
  auto entry = std::find_if(watched.begin(), watched.end(),
                            [&](const Watched& w) { return w.object == object; });
  if (entry == watched.end()) return;
  Unname(*entry);
  watched.erase(entry);
  LetGoOfUnused();
  Tick();
}

void Check()
{
  LONG dropped = 0;
  for (Process& process : processes) {
    if (!process.ended) process.ended = system->hasEnded(process.handle);
    if (!process.ended) continue;
    dropped += process.locks;
    process.locks = 0;
  }
  if (dropped > 0) {
    LetGoOfUnused();
    DropServerLocks(dropped);
  }
  std::vector<IUnknown*> orphans;
  for (Watched& entry : watched) {
    if (entry.cutOff) continue;
    const bool gone = std::all_of(entry.clients.begin(), entry.clients.end(), [](DWORD id) {
      const Process* process = Find(id);
      return process == nullptr || process->ended;
    });
    if (!gone) continue;
    entry.cutOff = true;
    orphans.push_back(entry.object);
  }
  for (IUnknown* object : orphans) {
    // Cutting one object off may have ended another (nothing else holds
    // them): only those still watched are touched.
    if (FindWatched(object) == nullptr) continue;
    // Held across the cut, so that the object ends in its own Release
    // rather than inside COM's.
    object->AddRef();
    system->disconnect(object);
    probe_notes::CutOff();
    object->Release();
  }
  Tick();
}

std::vector<DWORD> ClientsOf(IUnknown* object)
{
  const Watched* entry = FindWatched(object);
  return entry != nullptr ? entry->clients : std::vector<DWORD>();
}

size_t WatchedObjects()
{
  return watched.size();
}

size_t WatchedProcesses()
{
  return processes.size();
}

LONG ClientLocks()
{
  LONG locks = 0;
  for (const Process& process : processes) locks += process.locks;
  return locks;
}

void SetSystemForTesting(const System* replacement)
{
  system = replacement != nullptr ? replacement : &kPlatform;
}

}  // namespace client_watch

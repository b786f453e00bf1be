#include "server/client_watch.h"

#include <algorithm>

namespace client_watch {

namespace {

const System kPlatform = {
    platform_client::CallingProcesses, platform_client::HasEnded,
    platform_client::CloseProcess,     platform_client::StartTicks,
    platform_client::StopTicks,        platform_server::DisconnectStubs,
};

const System* system = &kPlatform;

// A process held open for as long as a watched object names it.
struct Process {
  HANDLE handle;
  DWORD id;
  size_t objects;  // watched objects that name it
  bool ended;
};

struct Watched {
  IUnknown* object;           // its identity; no reference held
  std::vector<DWORD> clients;     // the processes that may have made it
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

}  // namespace

void Watch(IUnknown* object)
{
  if (object == nullptr) return;
  std::vector<platform_client::ClientProcess> learned;
  system->callingProcesses(learned);
  if (learned.empty()) return;
  Watched entry{object, {}, false};
  for (const platform_client::ClientProcess& client : learned) {
    // A process already held is the same process: its id cannot have been
    // given to another one while it is held.
    if (Process* known = Find(client.id)) {
      system->closeProcess(client.handle);
      ++known->objects;
    } else {
      processes.push_back({client.handle, client.id, 1, false});
    }
    entry.clients.push_back(client.id);
  }
  watched.push_back(std::move(entry));
  system->startTicks(kClientWatchMilliseconds, Check);
}

void Forget(IUnknown* object)
{
  auto entry = std::find_if(watched.begin(), watched.end(),
                            [&](const Watched& w) { return w.object == object; });
  if (entry == watched.end()) return;
  for (DWORD id : entry->clients) {
    Process* process = Find(id);
    if (process == nullptr || --process->objects > 0) continue;
    system->closeProcess(process->handle);
    processes.erase(processes.begin() + (process - processes.data()));
  }
  watched.erase(entry);
  if (watched.empty()) system->stopTicks();
}

void Check()
{
  for (Process& process : processes)
    if (!process.ended) process.ended = system->hasEnded(process.handle);
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
    if (std::none_of(watched.begin(), watched.end(),
                     [&](const Watched& w) { return w.object == object; }))
      continue;
    // Held across the cut, so that the object ends in its own Release
    // rather than inside COM's.
    object->AddRef();
    system->disconnect(object);
    object->Release();
  }
}

size_t WatchedObjects()
{
  return watched.size();
}

size_t WatchedProcesses()
{
  return processes.size();
}

void SetSystemForTesting(const System* replacement)
{
  system = replacement != nullptr ? replacement : &kPlatform;
}

}  // namespace client_watch

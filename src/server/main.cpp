// Process entry of stibridge.exe: the runtime hands over the instance handle
// and the command tail; ServerMain does the rest.
#include "platform/win32.h"
#include "server/entry.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandTail, int)
{
  return ServerMain(instance, commandTail, platform_server::MillisecondsSinceProcessStart());
}

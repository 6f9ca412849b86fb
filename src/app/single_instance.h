#pragma once
// One Snapward per logon session.

#include <windows.h>

#include "platform/win_handles.h"

enum class InstanceClaim { First, AlreadyRunning, Unknown };

// Creates the named mutex that marks a running instance, or finds it there.
// An instance running at other rights (started elevated, say) owns a mutex
// this one may not open for full access; asking only to wait on it still
// finds it, and one that cannot be opened at all is there too: both count as
// already running, never as a licence for a second tray icon and a second
// owner of the capture key and the camera. Unknown when the mutex could not
// be made for another reason; the caller then runs on alone.
InstanceClaim ClaimSingleInstance(const wchar_t* name, UniqueKernelHandle& held);

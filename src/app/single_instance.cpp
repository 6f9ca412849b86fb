#include "app/single_instance.h"

InstanceClaim ClaimSingleInstance(const wchar_t* name, UniqueKernelHandle& held) {
    held.reset(CreateMutexExW(nullptr, name, 0, SYNCHRONIZE));
    const DWORD error = GetLastError();
    if (held && error == ERROR_ALREADY_EXISTS) {
        held.reset();
        return InstanceClaim::AlreadyRunning;
    }
    if (held) return InstanceClaim::First;
    return error == ERROR_ACCESS_DENIED ? InstanceClaim::AlreadyRunning : InstanceClaim::Unknown;
}

// Holds the single-instance lock until killed, as a running program does.
#include <unistd.h>

#include <cstdio>

#include "platform/DataDir.h"
#include "platform/InstanceLock.h"

int main() {
    th::InstanceLock lock(th::resolveDataPaths().settingsDir);
    if (lock.tryAcquire() != th::LockOutcome::Acquired) {
        std::puts("busy");
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    for (;;)
        ::pause();
}

#include "service/core/server/ConnectionCounter.h"

#include "platform/registry/Registry.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/core/server/ListenAddress.h"

namespace orvyn {

void CConnectionCounter::Load() {
    next_ = written_ = registry_.ReadInt("Logging", "ConnectNum", 1);
    loaded_ = true;
}

int CConnectionCounter::Next() {
    if (!loaded_) Load();
    const int number = ConnectNumberToUse(next_);
    next_ = NextConnectNumber(next_);
    return number;
}

void CConnectionCounter::WriteBack(int waitMs) {
    if (!loaded_) return;
    const long stored = registry_.ReadInt("Logging", "ConnectNum", 1);
    if (stored != written_) {
        // Set from outside since: counting goes on from there.
        Load();
        return;
    }
    if (next_ == written_) return;
    const reg::ScopedWriteWait wait(waitMs);
    if (registry_.WriteInt("Logging", "ConnectNum", next_)) written_ = next_;
}

}  // namespace orvyn

#include "service/core/server/ConnectionCounter.h"

#include "platform/registry/Registry.h"
#include "service/base/settings/ServerRegistry.h"
#include "service/core/server/ListenAddress.h"

namespace orvyn {

void CConnectionCounter::Load() {
    next_ = written_ = registry_.ReadInt("Logging", "ConnectNum", 1);
    reserved_ = 0;
    loaded_ = true;
}

bool CConnectionCounter::StoreUnchanged() {
    if (registry_.ReadInt("Logging", "ConnectNum", 1) == written_) return true;
    Load();
    return false;
}

void CConnectionCounter::Reserve() {
    StoreUnchanged();
    long end = ConnectNumberToUse(next_);
    for (long i = 0; i < kBlock; ++i) end = NextConnectNumber(end);
    // The accept does not wait for another program holding the store: the
    // next accept tries again.
    const reg::ScopedWriteWait wait(0);
    if (registry_.WriteInt("Logging", "ConnectNum", end)) {
        written_ = end;
        reserved_ = kBlock;
    }
}

int CConnectionCounter::Next() {
    if (!loaded_) Load();
    if (reserved_ == 0) Reserve();
    const int number = ConnectNumberToUse(next_);
    next_ = NextConnectNumber(next_);
    if (reserved_ > 0) --reserved_;
    moved_ = true;
    return number;
}

void CConnectionCounter::Tick() {
    if (!loaded_) return;
    if (moved_) {
        // Busy: the reservation stands, but a number set from outside is
        // taken over now all the same.
        moved_ = false;
        StoreUnchanged();
        return;
    }
    WriteBack(0);
}

void CConnectionCounter::WriteBack(int waitMs) {
    if (!loaded_ || !StoreUnchanged() || next_ == written_) return;
    const reg::ScopedWriteWait wait(waitMs);
    if (registry_.WriteInt("Logging", "ConnectNum", next_)) {
        written_ = next_;
        reserved_ = 0;
    }
}

}  // namespace orvyn

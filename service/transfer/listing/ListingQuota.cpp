#include "service/transfer/listing/ListingQuota.h"

#include <mutex>
#include <unordered_map>

namespace orvyn {

// Shared by the quota and every place it handed out, so a place given back
// after the instance is gone still has its counts to lower.
struct ListingQuota::State {
    mutable std::mutex mutex;
    std::size_t total = 0;
    std::unordered_map<std::string, std::size_t> byAddress;
};

struct ListingQuota::Place {
    Place(std::shared_ptr<State> s, std::string a) : state(std::move(s)), address(std::move(a)) {}
    ~Place() {
        std::lock_guard<std::mutex> lock(state->mutex);
        --state->total;
        auto it = state->byAddress.find(address);
        if (it != state->byAddress.end() && --it->second == 0) state->byAddress.erase(it);
    }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

    std::shared_ptr<State> state;
    std::string address;
};

ListingQuota::ListingQuota() : state_(std::make_shared<State>()) {}

std::shared_ptr<void> ListingQuota::Take(const std::string& address, long total, long perAddress, Refusal* why) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (total > 0 && state_->total >= static_cast<std::size_t>(total)) {
        if (why) *why = Refusal::Instance;
        return nullptr;
    }
    std::size_t& fromAddress = state_->byAddress[address];
    if (perAddress > 0 && fromAddress >= static_cast<std::size_t>(perAddress)) {
        if (why) *why = Refusal::Address;
        return nullptr;
    }
    ++fromAddress;
    ++state_->total;
    if (why) *why = Refusal::None;
    return std::make_shared<Place>(state_, address);
}

std::size_t ListingQuota::active() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->total;
}

std::size_t ListingQuota::activeFrom(const std::string& address) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const auto it = state_->byAddress.find(address);
    return it == state_->byAddress.end() ? 0 : it->second;
}

}  // namespace orvyn

// The bound on listings in progress: how many one instance runs at once, and
// how many of them come from one peer address.
//
// A listing holds its place from the moment its worker is started until its
// text has been sent or dropped: the place is kept with the listing's spool
// (SpoolFile::Keep), so a worker that was let go (see ListingJob) keeps
// holding it until it really ends. Places are taken on the event loop's
// thread and given back on whichever thread drops the spool.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace orvyn {

class ListingQuota {
public:
    enum class Refusal {
        None,
        Instance,  // the instance runs as many listings as it may
        Address,   // the peer address has as many listings as it may
    };

    ListingQuota();

    // A place for one more listing from address, or null (why says which
    // bound was reached). A bound of 0 or less is no bound. The place is
    // given back when the last copy of the pointer goes.
    std::shared_ptr<void> Take(const std::string& address, long total, long perAddress, Refusal* why);

    // Listings holding a place now, in all and from one address.
    std::size_t active() const;
    std::size_t activeFrom(const std::string& address) const;

private:
    struct State;
    struct Place;
    std::shared_ptr<State> state_;
};

}  // namespace orvyn

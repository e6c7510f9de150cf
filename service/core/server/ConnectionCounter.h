// The instance's connection numbers (Logging\ConnectNum: the number the next
// connection gets, 1..9999). Numbers are handed out from a block reserved in
// the store: while connections come, the store holds the end of the block,
// written once per kBlock connections, so an accept rarely costs a store
// write (a write per accept grew the store's log and dropped every cached
// answer) and a service that is killed never hands out a number again after
// its restart. At the first timer tick without a new connection, and when
// the instance stops, the store gets the exact next number back. A number
// set in the store by someone else is taken over at the next tick.
#pragma once

namespace orvyn {

class CServerRegistry;

class CConnectionCounter {
public:
    static constexpr long kBlock = 100;

    explicit CConnectionCounter(CServerRegistry& registry) : registry_(registry) {}

    // The number for a new connection.
    int Next();
    // The instance's timer tick: the exact number is stored once the
    // connections have paused for a tick.
    void Tick();
    // Writes the exact next number to the store when it differs, waiting at
    // most waitMs for another program that holds the store (a failed write
    // is tried again by the next call).
    void WriteBack(int waitMs);

private:
    void Load();
    // False when the store holds a number set from outside (now taken over).
    bool StoreUnchanged();
    void Reserve();

    CServerRegistry& registry_;
    bool loaded_ = false;
    bool moved_ = false;  // numbers handed out since the last tick
    long next_ = 1;       // the number the next connection gets
    long written_ = 1;    // what the store held when last read or written
    long reserved_ = 0;   // numbers left before the store must move on
};

}  // namespace orvyn

// The instance's connection numbers (Logging\ConnectNum: the number the next
// connection gets, 1..9999). The counter lives in memory and is written back
// to the store at most once per instance timer tick and when the instance
// stops, so an accept costs no store write (a write per accept grew the
// store's log and dropped every cached answer). A number set in the store by
// someone else is taken over at the next write-back.
#pragma once

namespace orvyn {

class CServerRegistry;

class CConnectionCounter {
public:
    explicit CConnectionCounter(CServerRegistry& registry) : registry_(registry) {}

    // The number for a new connection.
    int Next();
    // Writes the next number to the store when it has moved, waiting at most
    // waitMs for another program that holds the store (a failed write is
    // tried again by the next call).
    void WriteBack(int waitMs);

private:
    void Load();

    CServerRegistry& registry_;
    bool loaded_ = false;
    long next_ = 1;     // what the store will hold after the next write-back
    long written_ = 1;  // what the store held when last read or written
};

}  // namespace orvyn

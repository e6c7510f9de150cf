// The passive port search of a server instance: which port of the
// LowPort..HighPort range the next passive listener binds to.
//
// Sequential: a cursor remembers the last port bound; a search starts two
// ports above it, walks up to HighPort, wraps to LowPort and stops at the
// first port that binds or at the first error other than "address in use".
// Random (RandomPorts): the range is shuffled once into a table (forward
// Fisher-Yates over rand, never seeded, so each start of the service makes
// the same sequence) and the cursor walks the table; at its end the table is
// shuffled afresh. Re-reading the instance's settings discards the table.
//
// The socket work is the caller's: the search asks a callback to bind a
// port, so the order of the ports can be checked without any socket.
#pragma once

#include <functional>
#include <vector>

namespace orvyn {

// Log lines of a failed bind to "any port" (LowPort not below HighPort).
inline constexpr const char* kLogBindErrorCode = "Bind's error code is %d";  // [?]
inline constexpr const char* kLogPasvBindFailed =
    "Error %d - could not bind PASV socket to requested address";  // [!]

class CPasvPortSearch {
public:
    // Binds the passive socket to port (0 = any port); returns 0 or a
    // Winsock error number (10048 when the port is in use).
    using TryBind = std::function<int(int port)>;
    // The random number source of the shuffle; std::rand when empty.
    using RandomSource = std::function<int()>;

    explicit CPasvPortSearch(RandomSource random = {});

    // Binds by the search. Returns 0, or the Winsock error of the attempt
    // that ended it (10048 when every port of the range is in use).
    // lowPort below 0 counts as 0, highPort above 65535 as 65535; when
    // lowPort is not below highPort the range is ignored and any port is
    // taken (on failure the caller logs kLogBindErrorCode and
    // kLogPasvBindFailed).
    int Search(long lowPort, long highPort, bool randomPorts, const TryBind& tryBind);

    // Forgets the shuffled table (the instance's settings were re-read).
    void DiscardTable();

    // For inspection: the cursor (a port, or a table position with
    // RandomPorts) and the shuffled table (entry i is position low + i).
    int cursor() const { return cursor_; }
    const std::vector<int>& table() const { return table_; }

private:
    int SearchSequential(int low, int high, int start, const TryBind& tryBind);
    int SearchRandom(int low, int high, int start, const TryBind& tryBind);
    void BuildTable(int low, int high, int start);
    // Walks table positions from..high; true when it stopped (result set),
    // false when it ran past the end with every port in use.
    bool Walk(int from, int high, const TryBind& tryBind, int& result);

    RandomSource random_;
    int cursor_ = 0;
    std::vector<int> table_;
    int tableLow_ = 0;
    int tableHigh_ = -1;
};

}  // namespace orvyn

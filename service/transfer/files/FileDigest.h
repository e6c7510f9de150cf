// Digests of whole files for HASH: SHA-256, SHA-1 and MD5, computed while a
// stop flag allows it. Runs on a worker thread, never on the network thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvyn {

enum class DigestKind { Sha256, Sha1, Md5 };

// The name of an algorithm in replies and FEAT ("SHA-256", "SHA-1", "MD5").
const char* DigestName(DigestKind kind);
// The algorithm of a name, whatever its case.
std::optional<DigestKind> DigestByName(std::string_view name);
// The FEAT line's value: every algorithm, the current one marked with "*".
std::string DigestFeatList(DigestKind current);

struct DigestResult {
    enum class Outcome { Done, Stopped, Failed } outcome = Outcome::Failed;
    int error = 0;       // errno of a failure
    uint64_t size = 0;   // bytes digested
    std::string hex;     // lower-case hexadecimal digest when done
};

// Reads the regular file at path to its end and digests it; checks stop
// between reads.
DigestResult DigestFile(const std::string& path, DigestKind kind, const std::atomic<bool>& stop);

}  // namespace orvyn

#include "service/transfer/listing/SortedRuns.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/accounts/Impersonation.h"
#include "service/transfer/listing/EntryOrder.h"
#include "service/transfer/listing/SpoolFile.h"

namespace orvyn {
namespace {

constexpr std::size_t kReadBuffer = 16 * 1024;
constexpr std::uint32_t kMostRecord = 64 * 1024 * 1024;

template <typename T>
void Put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

void PutText(std::string& out, const std::string& text) {
    Put<std::uint32_t>(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

template <typename T>
bool Get(std::string_view& in, T& value) {
    if (in.size() < sizeof(T)) return false;
    std::memcpy(&value, in.data(), sizeof(T));
    in.remove_prefix(sizeof(T));
    return true;
}

bool GetText(std::string_view& in, std::string& text) {
    std::uint32_t n = 0;
    if (!Get(in, n) || in.size() < n) return false;
    text.assign(in.data(), n);
    in.remove_prefix(n);
    return true;
}

// One record: its length, then the fields.
void Encode(std::string& out, const ListEntry& e) {
    const std::size_t at = out.size();
    Put<std::uint32_t>(out, 0);
    Put<std::uint8_t>(out, static_cast<std::uint8_t>(e.kind));
    Put<std::uint64_t>(out, e.size);
    Put<std::int32_t>(out, e.mode);
    Put<std::int32_t>(out, e.rights);
    Put<std::int64_t>(out, static_cast<std::int64_t>(e.writeTime));
    Put<std::int64_t>(out, static_cast<std::int64_t>(e.accessTime));
    Put<std::uint64_t>(out, e.nlink);
    PutText(out, e.name);
    PutText(out, e.diskName);
    PutText(out, e.linkTarget);
    const std::uint32_t length = static_cast<std::uint32_t>(out.size() - at - sizeof(std::uint32_t));
    std::memcpy(out.data() + at, &length, sizeof length);
}

bool Decode(std::string_view in, ListEntry& e) {
    std::uint8_t kind = 0;
    std::int64_t writeTime = 0, accessTime = 0;
    if (!Get(in, kind) || kind > static_cast<std::uint8_t>(EntryKind::VirtualDirectory)) return false;
    e.kind = static_cast<EntryKind>(kind);
    if (!Get(in, e.size) || !Get(in, e.mode) || !Get(in, e.rights) || !Get(in, writeTime) || !Get(in, accessTime) ||
        !Get(in, e.nlink)) {
        return false;
    }
    e.writeTime = static_cast<std::time_t>(writeTime);
    e.accessTime = static_cast<std::time_t>(accessTime);
    return GetText(in, e.name) && GetText(in, e.diskName) && GetText(in, e.linkTarget) && in.empty();
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// Reads one run's records in order through a small buffer.
class SortedRuns::Reader {
public:
    Reader(int fd, Run run) : fd_(fd), next_(run.begin), end_(run.end) {}

    // The next entry: true with it, false at the end (failed() tells an
    // error from the end).
    bool Next(ListEntry& entry) {
        std::uint32_t length = 0;
        if (!Fill(sizeof length)) return false;
        std::memcpy(&length, buffer_.data() + pos_, sizeof length);
        if (length > kMostRecord || !Fill(sizeof length + length)) {
            failed_ = true;
            return false;
        }
        const std::string_view record(buffer_.data() + pos_ + sizeof length, length);
        pos_ += sizeof length + length;
        if (!Decode(record, entry)) {
            failed_ = true;
            return false;
        }
        return true;
    }
    bool failed() const { return failed_; }

private:
    // Makes want bytes available at pos_; false at the run's end or on an error.
    bool Fill(std::size_t want) {
        if (buffer_.size() - pos_ >= want) return true;
        buffer_.erase(0, pos_);
        pos_ = 0;
        while (buffer_.size() < want) {
            if (next_ >= end_) {
                if (!buffer_.empty()) failed_ = true;  // a record cut short
                return false;
            }
            const std::size_t room = std::max(want - buffer_.size(), kReadBuffer);
            const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(room, end_ - next_));
            const std::size_t had = buffer_.size();
            buffer_.resize(had + chunk);
            const ssize_t n = pread(fd_, buffer_.data() + had, chunk, static_cast<off_t>(next_));
            if (n < 0 && errno == EINTR) {
                buffer_.resize(had);
                continue;
            }
            if (n <= 0) {
                buffer_.resize(had);
                failed_ = true;
                return false;
            }
            buffer_.resize(had + static_cast<std::size_t>(n));
            next_ += static_cast<std::uint64_t>(n);
        }
        return true;
    }

    int fd_;
    std::uint64_t next_;
    std::uint64_t end_;
    std::string buffer_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

std::unique_ptr<SortedRuns> SortedRuns::Create() {
    // The file belongs to the service, not to the account the listing
    // acts for.
    accounts::ServiceScope asService;
    const std::string dir = SystemTempDir();
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = dir + "/ORVrunsXXXXXX";
        fd = mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        unlink(name.c_str());
    }
    return std::unique_ptr<SortedRuns>(new SortedRuns(fd));
}

SortedRuns::~SortedRuns() { close(fd_); }

bool SortedRuns::Add(const std::vector<ListEntry>& run) {
    std::string out;
    const Run placed{size_, size_};
    std::uint64_t written = 0;
    for (const ListEntry& entry : run) {
        Encode(out, entry);
        if (out.size() >= kReadBuffer * 4) {
            if (!WriteAll(fd_, out.data(), out.size())) return false;
            written += out.size();
            out.clear();
        }
    }
    if (!WriteAll(fd_, out.data(), out.size())) return false;
    written += out.size();
    size_ += written;
    runs_.push_back(Run{placed.begin, placed.begin + written});
    return true;
}

SortedRuns::MergeResult SortedRuns::Merge(SortOrder order, bool reverse, std::string_view owner,
                                          std::string_view group,
                                          const std::function<bool(ListEntry&&)>& sink) const {
    auto give = [&](ListEntry&& entry) {
        entry.owner = owner;
        entry.group = group;
        return sink(std::move(entry));
    };
    if (order == SortOrder::Unsorted) {
        // Without a key the order is the order of reading, turned round when
        // reverse: the runs (each turned round already) last to first.
        for (std::size_t i = runs_.size(); i-- > 0;) {
            const std::size_t r = reverse ? i : runs_.size() - 1 - i;
            Reader reader(fd_, runs_[r]);
            ListEntry entry;
            while (reader.Next(entry)) {
                if (!give(std::move(entry))) return MergeResult::Stopped;
                entry = ListEntry{};
            }
            if (reader.failed()) return MergeResult::Failed;
        }
        return MergeResult::Done;
    }

    std::vector<Reader> readers;
    readers.reserve(runs_.size());
    for (const Run& run : runs_) readers.emplace_back(fd_, run);
    std::vector<std::optional<ListEntry>> heads(readers.size());
    // A heap of run numbers whose top is the run with the first head.
    const auto after = [&](std::size_t x, std::size_t y) {
        const ListEntry& a = *heads[x];
        const ListEntry& b = *heads[y];
        return reverse ? EntryBefore(a, b, order) : EntryBefore(b, a, order);
    };
    std::vector<std::size_t> heap;
    heap.reserve(readers.size());
    for (std::size_t r = 0; r < readers.size(); ++r) {
        ListEntry entry;
        if (readers[r].Next(entry)) {
            heads[r] = std::move(entry);
            heap.push_back(r);
        } else if (readers[r].failed()) {
            return MergeResult::Failed;
        }
    }
    std::make_heap(heap.begin(), heap.end(), after);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), after);
        const std::size_t r = heap.back();
        heap.pop_back();
        ListEntry out = std::move(*heads[r]);
        ListEntry entry;
        if (readers[r].Next(entry)) {
            heads[r] = std::move(entry);
            heap.push_back(r);
            std::push_heap(heap.begin(), heap.end(), after);
        } else {
            heads[r].reset();
            if (readers[r].failed()) return MergeResult::Failed;
        }
        if (!give(std::move(out))) return MergeResult::Stopped;
    }
    return MergeResult::Done;
}

}  // namespace orvyn

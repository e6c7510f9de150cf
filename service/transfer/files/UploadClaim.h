// The files that uploads of this process are writing, by device and inode.
// Two uploads that overwrite one file at once would mix their bytes and both
// be told 226, so an upload that overwrites a file another upload is writing
// (or appends to one being overwritten) is refused. Appends may share a file:
// each write lands at the end as it is then.
//
// A claim is taken once the upload's file is open and lasts as long as the
// object. Everything runs on the event loop's thread (command handlers and
// transfer ends), so the table needs no lock.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <utility>

namespace orvyn {

class CUploadClaim {
public:
    // Whether an upload of the given kind may write the file st describes.
    static bool Free(const struct stat& st, bool append);

    // Claims the open file fd for an upload; holds nothing when fd cannot be
    // examined.
    CUploadClaim(int fd, bool append);
    ~CUploadClaim();
    CUploadClaim(const CUploadClaim&) = delete;
    CUploadClaim& operator=(const CUploadClaim&) = delete;

private:
    using Key = std::pair<uint64_t, uint64_t>;
    Key key_{};
    bool held_ = false;
    bool append_ = false;
};

}  // namespace orvyn

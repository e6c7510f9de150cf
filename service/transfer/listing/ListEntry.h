// One entry of a directory listing, as the reader builds it and the line
// formats show it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace orvyn {

// Bits of the rights mask as the rights query reports them.
namespace listing_rights {
inline constexpr int kRead = 1;
inline constexpr int kCreate = 2;
inline constexpr int kOverwrite = 4;
inline constexpr int kList = 8;
}  // namespace listing_rights

// Mode bits of an entry; the value 0..15 picks the four-letter mode string.
enum EntryMode : int {
    kModeDirectory = 1,
    kModeReadable = 2,
    kModeWritable = 4,
    kModeExecutable = 8,
};

enum class EntryKind {
    File,
    Directory,
    Link,              // a shortcut (a symbolic link named *.lnk) that resolved
    VirtualDirectory,  // a folder shown where a virtual directory is configured
};

struct ListEntry {
    std::string name;      // shown at the end of the line
    std::string diskName;  // the name on disk, only when it differs from name
    EntryKind kind = EntryKind::File;
    std::uint64_t size = 0;
    int mode = 0;    // EntryMode bits
    int rights = 0;  // rights mask at the entry's path
    std::time_t writeTime = 0;
    std::time_t accessTime = 0;
    std::string linkTarget;  // client-visible path a shortcut leads to
    std::uint64_t nlink = 1;  // link count on disk (the long line always shows 1)
    // Shown in the long line. They name strings that outlive the entry (the
    // reader's settings, or literals), so entries stay cheap to move while a
    // large folder is gathered and sorted.
    std::string_view owner = "noone";
    std::string_view group = "nogroup";

    bool IsDirectory() const { return kind == EntryKind::Directory || kind == EntryKind::VirtualDirectory; }
    const std::string& NameOnDisk() const { return diskName.empty() ? name : diskName; }
    // Size in 512-byte blocks, rounded up (the s column).
    std::uint64_t Blocks() const { return size / 512 + (size % 512 != 0 ? 1 : 0); }
};

// Mode bits from the rights mask. readOnly: nobody may write the entry.
// A file is readable and executable with R, writable with O.
int FileMode(int rights, bool readOnly);
// A folder is readable with L, writable with C or O, executable with any right.
int DirectoryMode(int rights, bool readOnly);
// A virtual directory is readable with R, writable with C or O, executable
// with any right.
int VirtualDirectoryMode(int rights, bool readOnly);

}  // namespace orvyn

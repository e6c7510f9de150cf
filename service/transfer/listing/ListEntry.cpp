#include "service/transfer/listing/ListEntry.h"

namespace orvyn {

using namespace listing_rights;

int FileMode(int rights, bool readOnly) {
    int mode = 0;
    if (rights & kRead) mode |= kModeReadable | kModeExecutable;
    if (!readOnly && (rights & kOverwrite)) mode |= kModeWritable;
    return mode;
}

int DirectoryMode(int rights, bool readOnly) {
    int mode = kModeDirectory;
    if (rights & kList) mode |= kModeReadable;
    if (!readOnly && (rights & (kOverwrite | kCreate))) mode |= kModeWritable;
    if (rights & (kRead | kCreate | kOverwrite | kList)) mode |= kModeExecutable;
    return mode;
}

int VirtualDirectoryMode(int rights, bool readOnly) {
    int mode = kModeDirectory;
    if (rights & kRead) mode |= kModeReadable;
    if (!readOnly && (rights & (kOverwrite | kCreate))) mode |= kModeWritable;
    if (rights & (kRead | kCreate | kOverwrite | kList)) mode |= kModeExecutable;
    return mode;
}

}  // namespace orvyn

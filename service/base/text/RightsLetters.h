// The rights of a path and the letters a rights entry stores them as: what
// the service judges by and what the users editor shows and writes.
#pragma once

#include <string_view>

namespace orvyn {

enum Rights : int {
    kRightRead = 1,       // R: download a file
    kRightCreate = 2,     // C: create a file or folder, be the target of a rename
    kRightOverwrite = 4,  // O: overwrite, append, delete, rename, remove a folder
    kRightList = 8,       // L: list a folder
    kRightWrite = kRightCreate | kRightOverwrite,  // W
    kAllRights = 15,
};

// The rights of a session that has not logged in on an instance with Secure
// off: nobody's rights apply and the service's own access decides; without
// Allow_Puts nothing may change.
constexpr int RightsWithoutLogin(bool allowPuts) {
    return allowPuts ? kAllRights : kAllRights & ~kRightWrite;
}

// The mask of a rights text: R, C, O, L and W in either case; every other
// character ("-" for no rights among them) is ignored.
constexpr int ParseRights(std::string_view letters) {
    int mask = 0;
    for (const char c : letters) {
        switch (c) {
            case 'R': case 'r': mask |= kRightRead; break;
            case 'C': case 'c': mask |= kRightCreate; break;
            case 'O': case 'o': mask |= kRightOverwrite; break;
            case 'L': case 'l': mask |= kRightList; break;
            case 'W': case 'w': mask |= kRightWrite; break;
            default: break;
        }
    }
    return mask;
}

}  // namespace orvyn

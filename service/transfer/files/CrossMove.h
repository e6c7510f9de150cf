// Moving a file to another file system, where a rename cannot reach: the
// file is copied under the target name (which must not exist), its data is
// made durable, and only then is the original removed. The copy keeps the
// file's permission bits and its access and modification times.
//
// Runs on a worker thread, acting for the user; stop is checked between
// pieces. Whatever fails or is stopped removes the partial copy and leaves
// the original as it was.
#pragma once

#include <atomic>
#include <string>

namespace orvyn {

// 0 when the file has moved; otherwise the errno of what failed (EEXIST when
// the target exists, ECANCELED when stopped, EISDIR for anything but a
// regular file).
int MoveAcrossFileSystems(const std::string& from, const std::string& to, const std::atomic<bool>& stop);

}  // namespace orvyn

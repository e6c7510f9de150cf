// Small text helpers for the disk and client paths of a listing. Disk paths
// are absolute with "/" separators; client paths may use "/" or "\".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvyn::listing_paths {

bool IsSeparator(char c);
// The disk path without a trailing "/" ("/" itself stays).
std::string Trimmed(std::string_view path);
// The disk path with one trailing "/".
std::string AsFolder(std::string_view path);
// Parent folder of a disk path ("/a/b" -> "/a", "/a" -> "/", "/" -> "/").
std::string Parent(std::string_view path);
// Last component of a disk path ("" for "/").
std::string LastComponent(std::string_view path);
// folder + "/" + name for disk paths.
std::string Join(std::string_view folder, std::string_view name);
// folder + a separator + name for client paths; no separator is added after
// one the client already wrote.
std::string JoinClient(std::string_view folder, std::string_view name);
// The last non-empty component of a client path; "/" for the root.
std::string ClientLastComponent(std::string_view path);
// Lexically normalised absolute path: "//" collapses, "." drops, ".." goes
// up (never above "/"). A relative path is taken from base.
std::string Normalise(std::string_view base, std::string_view path);

}  // namespace orvyn::listing_paths

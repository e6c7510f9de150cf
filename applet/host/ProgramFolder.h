// The folder a program's own file lives in, where the hosts look for
// ORVYN.CPL.
#pragma once

#include <unistd.h>

#include <climits>
#include <string>

namespace orvyn::applet {

// With its trailing "/"; empty when the file cannot be read or names no
// folder.
inline std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    const std::string self(path, static_cast<size_t>(n));
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}

}  // namespace orvyn::applet

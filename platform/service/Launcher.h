// Starting a service program the way a service manager does: detached from
// the caller, in its own session, with standard input and output on
// /dev/null, the root folder as working folder, default signal handling and
// exactly the given environment.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvyn::service {

// Starts program (no arguments) with env ("NAME=value" entries). Returns 0
// with the new process's pid once the program has been executed, or the
// errno of what failed (fork, or exec of the program: ENOENT, EACCES, ...).
// The started process is not a child of the caller: it needs no reaping.
int SpawnDetached(const std::string& program, const std::vector<std::string>& env, pid_t& pid);

// True while the process exists and has not ended (a zombie counts as ended).
bool ProcessAlive(pid_t pid);
// Whether process pid is ancestor or was started by it, directly or through
// a few generations (a program that runs the server as its child).
bool DescendsFrom(pid_t pid, pid_t ancestor);

}  // namespace orvyn::service

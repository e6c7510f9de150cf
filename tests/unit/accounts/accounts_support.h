// Helpers shared by the account tests: a temporary folder that removes itself,
// and running a program with its own environment while capturing its output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace orvyn::accounts::test {

using TempDir = orvyn::test::TempDir;

struct ChildOutput {
    int status = -1;  // as waitpid reports it
    std::string out;  // standard output and standard error together
};

// Runs `argv` with exactly the environment `env` ("NAME=value" entries) and
// waits for it.
ChildOutput RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env);

}  // namespace orvyn::accounts::test

// Helpers of the host tests: a temporary folder that is removed afterwards,
// with the store, run folder and event-log file of the test pointed into it.
#pragma once

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace orvyn::test {



// A temporary folder that ORVYN_REGISTRY, ORVYN_RUNDIR, ORVYN_CERTDIR and
// ORVYN_EVENTLOG_FILE point into for the lifetime of the object; systemd is
// left alone (ORVYN_SYSTEMD=0).
class TestEnvironment {
public:
    TestEnvironment();
    ~TestEnvironment();
    const TempDir& dir() const { return dir_; }
    std::string storePath() const { return dir_ / "registry.db"; }
    std::string runDir() const { return dir_ / "run"; }
    std::string eventLogFile() const { return dir_ / "events.log"; }
    // Lines of the event-log file so far.
    std::vector<std::string> Events() const;

private:
    TempDir dir_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace orvyn::test

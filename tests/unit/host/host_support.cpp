#include "host_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orvyn::test {

TestEnvironment::TestEnvironment() {
    ::setenv("ORVYN_REGISTRY", storePath().c_str(), 1);
    ::setenv("ORVYN_RUNDIR", runDir().c_str(), 1);
    ::setenv("ORVYN_CERTDIR", (dir_ / "certs").c_str(), 1);
    ::setenv("ORVYN_EVENTLOG_FILE", eventLogFile().c_str(), 1);
    ::setenv("ORVYN_SYSTEMD", "0", 1);
}

TestEnvironment::~TestEnvironment() {
    for (const char* name : {"ORVYN_REGISTRY", "ORVYN_RUNDIR", "ORVYN_CERTDIR", "ORVYN_EVENTLOG_FILE"}) {
        ::unsetenv(name);
    }
}

std::vector<std::string> TestEnvironment::Events() const {
    std::vector<std::string> lines;
    std::ifstream in(eventLogFile());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace orvyn::test

// Test scaffolding: a temporary folder holding a fresh configuration store,
// with the service's path variables pointed into it, and a log sink that
// records what it is given. Removed again when the test ends.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "service/base/log/LogSink.h"

namespace orvyn::test {

class TempStore {
public:
    TempStore() {
        std::string base = std::filesystem::temp_directory_path() / "orvyn-unit-XXXXXX";
        if (!mkdtemp(base.data())) throw std::runtime_error("mkdtemp failed");
        dir_ = base;
        std::filesystem::create_directories(dir_ / "run");
        std::filesystem::create_directories(dir_ / "certs");
        setenv("ORVYN_REGISTRY", (dir_ / "registry.db").c_str(), 1);
        setenv("ORVYN_RUNDIR", (dir_ / "run").c_str(), 1);
        setenv("ORVYN_CERTDIR", (dir_ / "certs").c_str(), 1);
        store_ = std::make_unique<reg::Store>((dir_ / "registry.db").string());
    }
    ~TempStore() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    reg::Store& store() { return *store_; }
    const std::filesystem::path& dir() const { return dir_; }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
    std::unique_ptr<reg::Store> store_;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct LoggedLine {
    int conn;
    char category;
    std::string text;
};

// Keeps every formatted line in memory.
class RecordingLog : public ILogSink {
public:
    void LogV(int conn, char category, const char* format, va_list ap) override {
        va_list copy;
        va_copy(copy, ap);
        const int n = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0) vsnprintf(text.data(), text.size() + 1, format, ap);
        lines.push_back({conn, category, std::move(text)});
    }
    std::vector<LoggedLine> lines;
};

}  // namespace orvyn::test

#include "transfer_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace orvyn::test {
namespace {

std::string MakeTempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvyn-xfer-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    return tmpl;
}

// Every test program of this folder runs with the service's store, run
// folder and certificate folder pointing into a temporary folder of its own.
class ServiceFolders : public ::testing::Environment {
public:
    void SetUp() override {
        root_ = MakeTempFolder();
        ASSERT_FALSE(root_.empty());
        setenv("ORVYN_REGISTRY", (root_ + "/registry.db").c_str(), 1);
        setenv("ORVYN_RUNDIR", (root_ + "/run").c_str(), 1);
        setenv("ORVYN_CERTDIR", (root_ + "/certs").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }

private:
    std::string root_;
};

[[maybe_unused]] ::testing::Environment* const kServiceFolders =
    ::testing::AddGlobalTestEnvironment(new ServiceFolders);

}  // namespace

TempFolder::TempFolder() : path_(MakeTempFolder()) {
    if (path_.empty()) throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::At(const std::string& rel) const {
    return path_ + "/" + rel;
}

std::string TempFolder::Write(const std::string& rel, const std::string& content) const {
    const std::string p = At(rel);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    return p;
}

std::string TempFolder::Read(const std::string& rel) const {
    std::ifstream in(At(rel), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool TempFolder::Exists(const std::string& rel) const {
    struct stat st {};
    return lstat(At(rel).c_str(), &st) == 0;
}

std::string TempFolder::Listing() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string out;
    for (const auto& n : names) out += n + "\n";
    return out;
}

}  // namespace orvyn::test

#include "registry_support.h"

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace orvyn::reg::test {

bool Exists(const std::string& path) {
    struct stat sb {};
    return lstat(path.c_str(), &sb) == 0;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    struct stat sb {};
    if (stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return {};
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

namespace {

void DumpKey(const Store& store, const std::string& key, const std::string& shown, std::string& out) {
    std::vector<Value> values;
    if (Status st = store.EnumValues(key, values); !st) out += "error " + st.message + "\n";
    for (const Value& v : values) {
        out += shown + " : \"" + v.name + "\" " + std::to_string(v.type) + " ";
        static const char* const kHex = "0123456789abcdef";
        for (uint8_t b : v.data) {
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
        out += "\n";
    }
    std::vector<std::string> subkeys;
    if (Status st = store.EnumSubkeys(key, subkeys); !st) out += "error " + st.message + "\n";
    for (const std::string& sub : subkeys) {
        out += shown + "\\" + sub + "\n";
        DumpKey(store, key.empty() ? sub : key + "\\" + sub, shown + "\\" + sub, out);
    }
}

// Every test program runs with the paths of a running system pointed into a
// private temporary folder.
class PathsEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<TempDir>();
        setenv("ORVYN_REGISTRY", (*dir_ / "registry.db").c_str(), 1);
        setenv("ORVYN_RUNDIR", (*dir_ / "run").c_str(), 1);
        setenv("ORVYN_CERTDIR", (*dir_ / "certs").c_str(), 1);
    }
    void TearDown() override { dir_.reset(); }

private:
    std::unique_ptr<TempDir> dir_;
};

[[maybe_unused]] ::testing::Environment* const kPaths =
    ::testing::AddGlobalTestEnvironment(new PathsEnvironment);

}  // namespace

std::string Dump(const Store& store, const std::string& key) {
    std::string out;
    DumpKey(store, key, "", out);
    return out;
}

}  // namespace orvyn::reg::test

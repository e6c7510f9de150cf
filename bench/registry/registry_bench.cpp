// Measures the cost of single store calls as the service makes them: one
// value read, one value write, one enumeration. Prints calls per second.
//
//   bench_registry [calls]      (default 5000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"

using namespace orvyn::reg;

namespace {

template <typename F>
double Rate(int calls, F&& f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f(i);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return calls / took.count();
}

}  // namespace

int main(int argc, char** argv) {
    int calls = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (calls <= 0) calls = 5000;
    char tmpl[] = "/tmp/orvyn-bench-registry-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    Store store(dir + "/registry.db");
    const char* key = "Software\\Brandmoor\\ORVYNPro\\Servers\\Bench\\Security";
    for (int i = 0; i < 20; ++i) {
        store.SetValue(key, "Value" + std::to_string(i), REG_DWORD, DwordData(i).data(), 4);
    }

    double reads = Rate(calls, [&](int) {
        Value v;
        if (!store.QueryValue(key, "MaxUsers", v) && false) std::abort();
    });
    double writes = Rate(calls, [&](int i) {
        auto data = DwordData(static_cast<uint32_t>(i));
        if (!store.SetValue(key, "ConnectNum", REG_DWORD, data.data(), data.size())) std::abort();
    });
    double enums = Rate(calls, [&](int) {
        std::vector<Value> values;
        if (!store.EnumValues(key, values)) std::abort();
    });
    std::printf("store reads:        %10.0f calls/s\n", reads);
    std::printf("store writes:       %10.0f calls/s\n", writes);
    std::printf("store enumerations: %10.0f calls/s (20 values)\n", enums);
    std::filesystem::remove_all(dir);
    return 0;
}

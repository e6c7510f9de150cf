// orvyn-svc: drives an installed service from a shell through the
// service-manager client: the same calls the administration applet makes.
//
//   orvyn-svc [--name NAME] query | start | stop | control CODE | refresh
//
// The service is "ORVYN Pro" (or "ORVYN Pro (Debug)" when only that one is
// installed) in the store at $ORVYN_REGISTRY. Status records are printed on
// standard output; failures print their error number on standard error and
// exit with status 1 (2 for a usage error).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/registry/Registry.h"
#include "platform/service/ServiceController.h"

namespace {

using namespace orvyn::service;

// Asked for (--help): on standard output, status 0; else a mistake.
int Usage(bool asked = false) {
    std::fprintf(asked ? stdout : stderr,
                 "usage: orvyn-svc [--name NAME] query | start | stop | control CODE | refresh\n");
    return asked ? 0 : 2;
}

void PrintStatus(const std::string& name, const ServiceStatus& s) {
    std::printf("%s: state %u (%s), type 0x%x, controls accepted %u, exit code %u, check point %u, "
                "wait hint %u, pid %u\n",
                name.c_str(), s.currentState, StateName(s.currentState), s.serviceType, s.controlsAccepted,
                s.win32ExitCode, s.checkPoint, s.waitHint, s.processId);
}

// The errors an administrator meets most, in words beside the number.
const char* Meaning(long err) {
    switch (err) {
        case ERROR_SERVICE_DOES_NOT_EXIST: return " (the service is not installed; orvyn -install installs it)";
        case ERROR_SERVICE_ALREADY_RUNNING: return " (the service is running already)";
        case ERROR_SERVICE_NOT_ACTIVE: return " (the service is not running)";
        case ERROR_ACCESS_DENIED: return " (access denied)";
        case ERROR_INVALID_SERVICE_CONTROL: return " (the service does not accept that control)";
        case ERROR_PROCESS_ABORTED:
            return " (the service ended while it started; `orvyn s` in a terminal shows why, or see the event log)";
        default: return "";
    }
}

int Fail(const char* what, long err) {
    std::fprintf(stderr, "orvyn-svc: %s failed: error %ld%s\n", what, err, Meaning(err));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string name;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--name") == 0) {
        name = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage();
    const std::string op = argv[i++];
    if ((op == "--help" || op == "-h") && i == argc) return Usage(true);
    // The arguments are checked before the service is looked for.
    unsigned long code = 0;
    if (op == "control") {
        if (i + 1 != argc) return Usage();
        char* end = nullptr;
        code = std::strtoul(argv[i], &end, 10);
        if (end == argv[i] || *end != '\0' || code < 1 || code > 255) return Usage();
    } else if (i != argc || (op != "refresh" && op != "query" && op != "start" && op != "stop")) {
        return Usage();
    }

    if (op == "refresh") {
        const long err = PostServiceRefresh();
        if (err == ERROR_SUCCESS) return 0;
        // The refresh goes to the process its pid file names.
        const char* why = Meaning(err);
        if (err == ERROR_FILE_NOT_FOUND) why = " (no server is running: it has no pid file)";
        if (err == ERROR_INVALID_WINDOW_HANDLE) why = " (the process its pid file names is gone)";
        std::fprintf(stderr, "orvyn-svc: refresh failed: error %ld%s\n", err, why);
        return 1;
    }

    orvyn::reg::Store store;
    ServiceController svc(store);
    long err = name.empty() ? svc.Open() : svc.OpenNamed(name);
    if (err != ERROR_SUCCESS) return Fail("open", err);

    ServiceStatus status;
    if (op == "query") {
        err = svc.QueryStatus(status);
        if (err != ERROR_SUCCESS) return Fail("query", err);
        PrintStatus(svc.name(), status);
        return 0;
    }
    if (op == "start") {
        err = svc.Start();
        if (err != ERROR_SUCCESS) return Fail("start", err);
        if (svc.QueryStatus(status) == ERROR_SUCCESS) PrintStatus(svc.name(), status);
        return 0;
    }
    if (op == "stop") {
        err = svc.Stop();
        if (err != ERROR_SUCCESS) return Fail("stop", err);
        if (svc.QueryStatus(status) == ERROR_SUCCESS) PrintStatus(svc.name(), status);
        return 0;
    }
    err = svc.Control(static_cast<uint32_t>(code), status);
    if (err != ERROR_SUCCESS) return Fail("control", err);
    PrintStatus(svc.name(), status);
    return 0;
}

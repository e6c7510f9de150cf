// orvyn-cpl: opens the administration applet ORVYN.CPL from this program's
// own folder (or the file named by the first argument) the way a settings
// host does: CPL_INIT, CPL_GETCOUNT, CPL_NEWINQUIRE, CPL_DBLCLK on the one
// applet, then CPL_STOP and CPL_EXIT.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "applet/Cpl.h"
#include "applet/host/ProgramFolder.h"

using namespace orvyn::applet;

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        const bool asked = argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h");
        std::fprintf(asked ? stdout : stderr,
                     "usage: orvyn-cpl [APPLET]   opens the administration applet (default: ORVYN.CPL beside "
                     "this program)\n");
        return asked ? 0 : 2;
    }
    const std::string folder = ProgramFolder();
    const std::string file = argc > 1 ? argv[1] : (folder.empty() ? std::string("./") : folder) + "ORVYN.CPL";
    void* lib = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "orvyn-cpl: cannot load %s: %s\n", file.c_str(), dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<CplAppletFn>(dlsym(lib, "CPlApplet"));
    if (!entry) {
        std::fprintf(stderr, "orvyn-cpl: %s exports no CPlApplet\n", file.c_str());
        return 1;
    }
    if (entry(nullptr, CPL_INIT, 0, 0) == 0) {
        std::fprintf(stderr, "orvyn-cpl: the applet refused to start\n");
        return 1;
    }
    const long count = entry(nullptr, CPL_GETCOUNT, 0, 0);
    for (long i = 0; i < count; ++i) {
        NEWCPLINFO info{};
        info.dwSize = sizeof info;
        entry(nullptr, CPL_NEWINQUIRE, i, reinterpret_cast<intptr_t>(&info));
    }
    if (count > 0) {
        entry(nullptr, CPL_DBLCLK, 0, 0);
        entry(nullptr, CPL_STOP, 0, 0);
    }
    entry(nullptr, CPL_EXIT, 0, 0);
    // The library stays loaded: Qt's objects may outlive the calls.
    return 0;
}

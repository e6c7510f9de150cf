// orvyn: the server program. Runs every configured server instance as the
// service "ORVYN Pro", or as an application with the s switch; installs and
// removes the service with -install / -remove.
#include <string>
#include <vector>

#include "service/core/host/OrvynApp.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    orvyn::COrvynApp app;
    return app.Main(args);
}

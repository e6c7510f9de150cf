// orvyn-reg: reads and changes the configuration store from a shell or a
// script. See Usage.cpp for the command line.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "tools/orvyn-reg/Arguments.h"
#include "tools/orvyn-reg/Commands.h"
#include "tools/orvyn-reg/PasswordInput.h"
#include "tools/orvyn-reg/Serve.h"
#include "tools/orvyn-reg/Usage.h"

namespace {

// Asks on the terminal; only "y" and "yes" (any case) count as yes.
class TerminalConfirmation : public orvyn::regtool::Confirmation {
public:
    bool CanAsk() const override { return ::isatty(STDIN_FILENO) == 1; }

    bool Ask(const std::string& question) override {
        std::cout << question << ' ' << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer)) return false;
        while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
        for (char& c : answer) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return answer == "y" || answer == "yes";
    }
};

int Main(const std::vector<std::string>& args) {
    using namespace orvyn::regtool;
    if (args.empty()) {
        std::cerr << UsageText();
        return 1;
    }
    Request request;
    ParseResult parsed = ParseArguments(args, request);
    if (parsed.kind == ParseResult::kHelp) {
        std::cout << UsageText();
        return 0;
    }
    if (parsed.kind == ParseResult::kError) {
        std::cerr << "ERROR: " << parsed.error << "\nType \"orvyn-reg --help\" for usage.\n";
        return 1;
    }

    orvyn::reg::Store store(request.store);
    if (request.command == Command::Serve)
        return Serve(store, STDIN_FILENO, STDOUT_FILENO);
    TerminalConfirmation confirmation;
    StdinPasswordSource passwords(std::cin, STDIN_FILENO, std::cerr);
    Commands commands(store, std::cout, std::cerr, confirmation, &passwords);
    int status = commands.Run(request);
    if (!std::cout.flush()) {
        std::cerr << "ERROR: Cannot write to standard output.\n";
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "ERROR: " << e.what() << "\n";
        return 1;
    }
}

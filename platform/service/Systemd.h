// The service side and the installer's side of systemd: the unit file of a
// service and the readiness notifications of a notify unit, sent by hand
// over the NOTIFY_SOCKET datagram socket.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace orvyn::service {

// "ORVYN Pro" -> "orvyn-pro.service", "ORVYN Pro (Debug)" -> "orvyn-pro-debug.service":
// lower case, every run of other characters than letters and digits one "-".
std::string UnitName(const std::string& serviceName);

// Folder the units of installed services are written to.
inline constexpr const char* kUnitDir = "/etc/systemd/system";

// The text of a Type=notify unit running imagePath with no arguments; env
// holds variables the service needs (the store and run folder of the
// installing process). Values are quoted for the unit file syntax.
std::string UnitFileText(const std::string& serviceName, const std::string& imagePath,
                         const std::map<std::string, std::string>& env);

// Writes the unit into unitDir (atomically), reloads systemd and enables it.
// Returns 0 or an error number.
long InstallUnit(const std::string& serviceName, const std::string& unitText,
                 const std::string& unitDir = kUnitDir);
// Disables and deletes the unit, then reloads systemd. A missing unit is not
// an error.
long RemoveUnit(const std::string& serviceName, const std::string& unitDir = kUnitDir);
bool UnitInstalled(const std::string& serviceName, const std::string& unitDir = kUnitDir);

// Runs systemctl with the arguments, waiting for it; its exit status, or -1
// when it could not run.
int RunSystemctl(std::initializer_list<std::string> args);

// Sends service states to systemd. A notifier built from an empty socket
// address sends nothing and reports success.
class SdNotifier {
public:
    explicit SdNotifier(std::string socketAddress = {});
    bool enabled() const { return !address_.empty(); }
    // One datagram, for example "READY=1\nSTATUS=Running".
    bool Notify(std::string_view state) const;

private:
    std::string address_;  // a path, or "@name" for the abstract namespace
};

}  // namespace orvyn::service

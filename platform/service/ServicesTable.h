// The services table: one key per installed service under
// SYSTEM\CurrentControlSet\Services in the configuration store, holding the
// values the service manager keeps for it (Type, Start, ErrorControl,
// ImagePath, DisplayName, ObjectName).
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry/Registry.h"

namespace orvyn::service {

struct ServiceConfig {
    std::string displayName;
    std::string imagePath;            // absolute path of the program
    uint32_t type = 0x10;             // own process
    uint32_t start = 3;               // demand start
    uint32_t errorControl = 1;        // normal
    std::string objectName = "LocalSystem";
};

class ServicesTable {
public:
    explicit ServicesTable(reg::Store& store) : store_(store) {}

    static std::string KeyPath(const std::string& serviceName);

    // ERROR_SUCCESS when the service has an entry, ERROR_SERVICE_DOES_NOT_EXIST
    // when not, or the error of the store.
    long Find(const std::string& serviceName) const;
    // The name as the entry spells it (names are found without regard to
    // case; what is made from a name, its control socket, uses this one).
    // The given name when the entries cannot be listed.
    std::string StoredName(const std::string& serviceName) const;
    bool Exists(const std::string& serviceName) const { return Find(serviceName) == 0; }

    // Creates the entry. ERROR_SERVICE_EXISTS when there is one already,
    // ERROR_INVALID_NAME for a bad name, ERROR_INVALID_PARAMETER for a
    // relative program path, ERROR_ACCESS_DENIED when the store cannot be
    // written. On failure the table is left as it was.
    long Create(const std::string& serviceName, const ServiceConfig& config);

    // Deletes the entry with everything below it.
    long Delete(const std::string& serviceName);

    // A service removed while it runs stays in the table, marked, until it
    // stops (`DeleteFlag` 1): until then it can still be queried and stopped.
    long MarkForDelete(const std::string& serviceName);
    bool MarkedForDelete(const std::string& serviceName) const;

    // Reads the entry; ImagePath must be an absolute path.
    long Read(const std::string& serviceName, ServiceConfig& config) const;

    // Store status codes as service-manager error numbers.
    static long ErrorFromStore(const reg::Status& st);

private:
    reg::Store& store_;
};

}  // namespace orvyn::service

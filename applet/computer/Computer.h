// The computer the applet manages, seen through three narrow interfaces: its
// configuration store (reg::IStore), its service and its files. This
// computer's are reached directly; another computer's through a remote shell
// (RemoteComputer.h). Nothing here uses Qt, so the tools share it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/service/ServiceController.h"

namespace orvyn::applet {

// What the dialog needs of the service manager; tests may substitute it.
class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    // True once a service was found ("ORVYN Pro", else its debug name).
    virtual bool Open() = 0;
    virtual void Close() = 0;
    virtual bool debug() const = 0;
    // 1 stopped, 2 start pending, 3 stop pending, 4 running; 0 unknown.
    virtual uint32_t QueryState() = 0;
    // 0 on success, else a system error number.
    virtual long Start() = 0;
    virtual long Stop() = 0;
    // Control 131; when it cannot be delivered, "ORVYN Service Refresh".
    virtual void AskToReread() = 0;
};

// A certificate of one of the managed computer's certificate stores.
struct CertificateInfo {
    std::string hash;      // 40 lower-case hex digits (SHA-1 of the certificate)
    std::string subject;   // one line, "CN=..., O=..."
    std::string notAfter;  // "YYYY-MM-DD HH:MM:SS UTC"
    std::string file;      // the file's path on that computer
    bool hasKey = false;
    bool keyExposed = false;  // others may read the key: the service refuses it
};

// What the dialogs need of the managed computer's files besides its store.
// Calls may come from a worker thread; an implementation serialises them.
class IComputerFiles {
public:
    virtual ~IComputerFiles() = default;
    // The folders directly inside `path` (absolute, on that computer) in
    // name order. 0, or the errno of reading the folder.
    virtual int ListFolders(const std::string& path, std::vector<std::string>& names) = 0;
    // The certificates of store 0 (the service's) or 1 (the machine's).
    // 0, or the errno of reading the store's folder.
    virtual int ListCertificates(long storeNumber, std::vector<CertificateInfo>& out) = 0;
    // Empty when the certificate with that hash in that store loads as the
    // server's credential (certificate and matching private key); otherwise
    // a sentence saying why not.
    virtual std::string CheckCertificate(long storeNumber, const std::string& hash) = 0;
    // The accounts of that computer's password database that can log in,
    // in database order. 0, or an errno.
    virtual int ListAccounts(std::vector<std::string>& names) = 0;
    // Whether that computer's password database knows the account.
    virtual bool AccountExists(const std::string& name) = 0;
};

// This computer's files.
class LocalComputerFiles : public IComputerFiles {
public:
    int ListFolders(const std::string& path, std::vector<std::string>& names) override;
    int ListCertificates(long storeNumber, std::vector<CertificateInfo>& out) override;
    std::string CheckCertificate(long storeNumber, const std::string& hash) override;
    int ListAccounts(std::vector<std::string>& names) override;
    bool AccountExists(const std::string& name) override;
};

// The local service through platform/service.
class LocalServiceControl : public IServiceControl {
public:
    explicit LocalServiceControl(reg::Store& store) : controller_(store) {}
    bool Open() override;
    void Close() override;
    bool debug() const override { return opened_ && controller_.debug(); }
    uint32_t QueryState() override;
    long Start() override;
    long Stop() override;
    void AskToReread() override;

private:
    service::ServiceController controller_;
    bool opened_ = false;
};

// The computer the applet manages: its store, its service and its files.
struct ManagedComputer {
    std::string name;  // empty: this computer
    std::unique_ptr<reg::IStore> store;
    std::unique_ptr<IServiceControl> service;
    std::unique_ptr<IComputerFiles> files;
    // Why the connection to another computer ended; empty while it works
    // (and for this computer).
    std::function<std::string()> lost;
};

}  // namespace orvyn::applet

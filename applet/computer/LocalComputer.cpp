#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "applet/computer/Computer.h"
#include "applet/computer/SystemAccounts.h"
#include "service/transfer/security/CertStore.h"
#include "service/transfer/security/TlsCredentials.h"

namespace orvyn::applet {

namespace {
constexpr uint32_t kControlReread = 131;
constexpr int kStopWaitMs = 30000;
}  // namespace

bool LocalServiceControl::Open() {
    if (controller_.Open() != 0)
        return opened_;
    opened_ = true;
    return true;
}

void LocalServiceControl::Close() { opened_ = false; }

uint32_t LocalServiceControl::QueryState() { return opened_ ? controller_.QueryState() : 0; }

long LocalServiceControl::Start() {
    // Returns once the program runs; the state watch follows its start.
    return opened_ ? controller_.Start(0) : 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
}

long LocalServiceControl::Stop() { return opened_ ? controller_.Stop(kStopWaitMs) : 1060; }

void LocalServiceControl::AskToReread() {
    service::ServiceStatus status;
    if (!opened_ || controller_.Control(kControlReread, status) != 0)
        service::PostServiceRefresh();
}

int LocalComputerFiles::ListFolders(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return errno;
    const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st {};
            folder = stat((prefix + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return 0;
}

int LocalComputerFiles::ListCertificates(long storeNumber, std::vector<CertificateInfo>& out) {
    out.clear();
    const std::string dir = tls::CertStoreDir(storeNumber);
    if (dir.empty())
        return EINVAL;
    std::vector<tls::CertEntry> entries;
    if (int error = tls::ReadStore(dir, entries))
        return error;
    for (const tls::CertEntry& entry : entries)
        out.push_back({tls::HashText(entry.hash), entry.subject, entry.notAfter, entry.path, entry.hasKey,
                       entry.keyExposed});
    return 0;
}

std::string LocalComputerFiles::CheckCertificate(long storeNumber, const std::string& hash) {
    tls::CertHash wanted{};
    if (!tls::ParseHashText(hash, wanted))
        return "The certificate hash is not 40 hexadecimal digits.";
    const std::string dir = tls::CertStoreDir(storeNumber);
    std::vector<tls::CertEntry> entries;
    if (dir.empty() || tls::ReadStore(dir, entries) != 0)
        return "The certificate store cannot be read.";
    for (const tls::CertEntry& entry : entries) {
        if (entry.hash != wanted)
            continue;
        if (entry.keyExposed)
            return "Others may read the private key of " + entry.path + "; the server refuses it.";
        tls::PemBundle bundle;
        if (bundle.Read(entry.path) != 0)
            return "The file " + entry.path + " cannot be read.";
        std::string why;
        if (!CTlsCredentials::Make(bundle, "check", &why))
            return "The certificate and key of " + entry.path + " do not load as server credentials: " + why;
        return {};
    }
    return "No certificate with this hash is in the store.";
}

int LocalComputerFiles::ListAccounts(std::vector<std::string>& names) {
    names = LoginAccounts();
    return 0;
}

bool LocalComputerFiles::AccountExists(const std::string& name) { return applet::AccountExists(name); }

}  // namespace orvyn::applet

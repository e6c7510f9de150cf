// Pictures of the server property sheet: one per page, over a temporary
// store holding a configured server.
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "applet/CplApp.h"
#include "applet/sheet/Pages.h"
#include "applet/sheet/ServerSheet.h"
#include "applet/sheet/TabCtrlWithDisable.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn::applet {

namespace {
void Text(reg::IStore& s, const std::string& key, const char* name, const std::string& text) {
    auto d = reg::StringData(text);
    s.SetValue(key, name, reg::REG_SZ, d.data(), d.size());
}
void Dword(reg::IStore& s, const std::string& key, const char* name, uint32_t v) {
    auto d = reg::DwordData(v);
    s.SetValue(key, name, reg::REG_DWORD, d.data(), d.size());
}
// Two certificates in the service's store, none anywhere else.
class PictureFiles : public LocalComputerFiles {
public:
    int ListFolders(const std::string&, std::vector<std::string>& names) override {
        names.clear();
        return 0;
    }
    int ListCertificates(long store, std::vector<CertificateInfo>& out) override {
        out.clear();
        if (store == 0) {
            out.push_back({std::string(40, 'a'), "C = GB, O = Example Ltd, CN = ftp.example.com", "2027-06-30 12:00:00 UTC",
                           "/etc/orvyn/certs/service/ftp.pem", true, false});
            out.push_back({std::string(40, 'b'), "O = Example Test Lab", "2026-12-31 23:59:59 UTC",
                           "/etc/orvyn/certs/service/lab.pem", true, false});
        }
        return 0;
    }
    std::string CheckCertificate(long, const std::string&) override { return {}; }
};
}  // namespace

// Saves server-sheet-<n>-<page>.png into folder; false when one failed.
bool SaveServerSheetPictures(const std::string& storePath, const QString& folder) {
    COrvynCplApp cpl(ManagedComputer{"", std::make_unique<reg::Store>(storePath), std::make_unique<RunningService>(),
                                     std::make_unique<PictureFiles>(), {}});
    reg::IStore& s = cpl.store();
    const std::string key = std::string(kServersKey) + "\\Main";
    Text(s, key, "Address", "0.0.0.0");
    Text(s, key, "Port", "2121");
    Text(s, key, "Email", "ftp-admin@example.com");
    Dword(s, key + "\\Security", "MaxUsers", 50);
    Dword(s, key + "\\Security", "Allow_Anon", 1);
    Text(s, key + "\\Logging", "LogFile", "/var/log/orvyn/main.ftp");
    Dword(s, key + "\\Logging", "Enable", 1);
    Dword(s, key + "\\Logging", "Logins", 1);
    Text(s, key + "\\Messages", "Greet", "Welcome to %E's server.");
    Dword(s, key + "\\Messages", "PlayHelloSound", 1);
    Dword(s, key + "\\Hosts", "AllowAll", 1);
    Dword(s, key + "\\Hosts\\DenyThese", "192.0.2.0/24", 1);
    Dword(s, key + "\\Hosts\\DenyThese", "badhost.example.net", 1);
    Text(s, key + "\\Conversions", "gzip", "||||gzip -c %s|13");
    Text(s, key + "\\Conversions", "tar", "||||tar cf - %s|2");
    Dword(s, key + "\\Security", "LowPort", 50000);
    Dword(s, key + "\\Security", "HighPort", 50100);
    Text(s, key + "\\TLS", "FTPSPort", "990");
    const std::vector<uint8_t> hash(20, 0xaa);
    s.SetValue(key + "\\TLS", "CertificateHash", reg::REG_BINARY, hash.data(), hash.size());

    CServerSheet sheet(cpl, "Main");
    sheet.show();
    bool ok = true;
    const char* const names[] = {"general", "security", "logging", "messages", "network", "conversions", "advanced", "tls"};
    for (int i = 0; i < CServerSheet::kTabs; ++i) {
        sheet.tabs()->setCurrentIndex(i);
        QApplication::processEvents();
        const QString file = folder + QString("/server-sheet-%1-%2.png").arg(i + 1).arg(names[i]);
        if (!sheet.grab().save(file)) {
            std::fprintf(stderr, "orvyn-applet-screenshots: cannot save %s\n", qPrintable(file));
            ok = false;
        }
    }
    CMessageDlg greeting(&sheet, true, {"Welcome to the example FTP server.\nUploads go to /incoming.", true, ""}, true);
    greeting.show();
    QApplication::processEvents();
    if (!greeting.grab().save(folder + "/server-sheet-greeting.png"))
        ok = false;
    if (ok)
        std::printf("saved %s/server-sheet-*.png\n", qPrintable(folder));
    return ok;
}

}  // namespace orvyn::applet

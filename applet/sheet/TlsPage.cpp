#include <QButtonGroup>
#include "applet/StoreText.h"
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cstring>

#include "applet/CplApp.h"
#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to the registry";
const char* const kNoContext = "Unable to acquire context handle - this certificate might not work.";
const char* const kNeedCertificate = "Cannot enable SSL / TLS without a server certificate!";
constexpr size_t kHashBytes = 20;

std::string HexOf(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::vector<uint8_t> BytesOf(const std::string& hex) {
    std::vector<uint8_t> out;
    if (hex.size() != 2 * kHashBytes)
        return out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}
}  // namespace

QString CTlsPage::DisplayName(const std::string& subject) {
    // "C = GB, O = Example, CN = ftp.example.com"; "\," inside a value.
    size_t start = 0;
    while (start <= subject.size()) {
        size_t end = start;
        while (end < subject.size() && subject[end] != ',')
            end += subject[end] == '\\' ? 2 : 1;
        std::string part = subject.substr(start, std::min(end, subject.size()) - start);
        const size_t eq = part.find('=');
        if (eq != std::string::npos) {
            auto trim = [](std::string s) {
                const size_t a = s.find_first_not_of(' ');
                const size_t b = s.find_last_not_of(' ');
                return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
            };
            if (trim(part.substr(0, eq)) == "CN") {
                std::string value = trim(part.substr(eq + 1)), plain;
                for (size_t i = 0; i < value.size(); ++i)
                    plain += value[i] == '\\' && i + 1 < value.size() ? value[++i] : value[i];
                if (!plain.empty())
                    return FromStoreText(plain);
            }
        }
        start = end + 1;
    }
    return FromStoreText(subject);
}

CTlsPage::CTlsPage(SheetContext& context) : CCtxPage(context, "TLS", "TLS / SSL", "sheet-tls") {
    auto* from = new QGroupBox("Use server certificate from:", this);
    serviceStore_ = new QRadioButton("&Service account", from);
    serviceStore_->setObjectName("ServiceStore");
    machineStore_ = new QRadioButton("&Machine store", from);
    machineStore_->setObjectName("MachineStore");
    auto* fromRow = new QHBoxLayout(from);
    fromRow->addWidget(serviceStore_);
    fromRow->addWidget(machineStore_);
    fromRow->addStretch();

    certificate_ = new QComboBox(this);
    certificate_->setObjectName("CertificateHash");
    certificate_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    certificate_->setMinimumContentsLength(30);
    forbidUser_ = new QCheckBox("Require TLS / SSL encryption before &USER and subsequent commands.", this);
    forbidUser_->setObjectName("ForbidClearUser");
    forbidData_ = new QCheckBox("Require TLS / SSL encryption on all data transfers / file listings.", this);
    forbidData_->setObjectName("ForbidClearData");

    auto* deprecated = new QGroupBox("Deprecated feature - for compatibility only", this);
    implicit_ = new QCheckBox("Listen for implicit SSL connection", deprecated);
    implicit_->setObjectName("ImplicitSsl");
    ftpsPort_ = new QLineEdit(deprecated);
    ftpsPort_->setObjectName("FTPSPort");
    ftpsPort_->setMaxLength(19);
    auto* portLabel = new QLabel("&Port number / name:", deprecated);
    portLabel->setBuddy(ftpsPort_);
    auto* implicitRow = new QHBoxLayout(deprecated);
    implicitRow->addWidget(implicit_);
    implicitRow->addSpacing(12);
    implicitRow->addWidget(portLabel);
    implicitRow->addWidget(ftpsPort_);

    auto* clients = new QGroupBox("Client Certificates:    [FEATURE COMING SOON!]", this);
    ignore_ = new QRadioButton("&Ignore client certificates", clients);
    accept_ = new QRadioButton("&Accept client certificates", clients);
    require_ = new QRadioButton("&Require client certificates", clients);
    map_ = new QCheckBox("Map &client certificates in Active Directory", clients);
    reject_ = new QCheckBox("Reject &non-mapped client certificates", clients);
    auto* clientGrid = new QGridLayout(clients);
    clientGrid->addWidget(ignore_, 0, 0);
    clientGrid->addWidget(accept_, 1, 0);
    clientGrid->addWidget(require_, 2, 0);
    clientGrid->addWidget(map_, 0, 1);
    clientGrid->addWidget(reject_, 1, 1);
    clients->setEnabled(false);

    auto* certRow = new QFormLayout;
    certRow->addRow("Certificate name to use:", certificate_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(from);
    layout->addLayout(certRow);
    layout->addWidget(forbidUser_);
    layout->addWidget(forbidData_);
    layout->addWidget(deprecated);
    layout->addWidget(clients);
    layout->addStretch();

    connect(machineStore_, &QRadioButton::toggled, this, [this] { ListStore(chosenHash(), false); });
    connect(certificate_, &QComboBox::activated, this, &CTlsPage::OnCertificateChosen);
    connect(forbidUser_, &QCheckBox::clicked, this, [this] { OnRequireClicked(forbidUser_); });
    connect(forbidData_, &QCheckBox::clicked, this, [this] { OnRequireClicked(forbidData_); });
    connect(implicit_, &QCheckBox::clicked, this, &CTlsPage::UpdateControls);
}

void CTlsPage::Read() {
    {
        const QSignalBlocker block(machineStore_);
        (Int("CertificateStore", 0) == 1 ? machineStore_ : serviceStore_)->setChecked(true);
    }
    std::vector<uint8_t> hash;
    registry().ReadBinary(section(), "CertificateHash", hash);
    ListStore(hash.size() == kHashBytes ? HexOf(hash) : std::string(), true);
    forbidUser_->setChecked(Flag("ForbidClearUser", false));
    forbidData_->setChecked(Flag("ForbidClearData", false));
    const QString port = Text("FTPSPort", "");
    implicit_->setChecked(!port.isEmpty());
    ftpsPort_->setText(port);
    const long action = Int("ClientCertificateAction", 0);
    (action == 2 ? require_ : action == 1 ? accept_ : ignore_)->setChecked(true);
    const long mappings = Int("ClientCertificateMappings", 0);
    map_->setChecked(mappings >= 1);
    reject_->setChecked(mappings >= 2);
    UpdateControls();
}

void CTlsPage::ListStore(const std::string& keepHash, bool keepMissing) {
    certificate_->clear();
    certificate_->addItem(QString(), QString());
    std::vector<CertificateInfo> certificates;
    const long store = machineStore_->isChecked() ? 1 : 0;
    const int error = context().app.files().ListCertificates(store, certificates);
    certificate_->setToolTip(error ? QString("The certificate store cannot be read: %1").arg(strerror(error)) : QString());
    int selected = 0;
    for (const CertificateInfo& c : certificates) {
        QString text = DisplayName(c.subject);
        if (!c.notAfter.empty())
            text += "  (expires " + FromStoreText(c.notAfter) + ")";
        certificate_->addItem(text, FromStoreText(c.hash));
        certificate_->setItemData(certificate_->count() - 1, FromStoreText(c.subject), Qt::ToolTipRole);
        if (!keepHash.empty() && c.hash == keepHash)
            selected = certificate_->count() - 1;
    }
    // A configured certificate that is not in the store stays configured.
    if (selected == 0 && keepMissing && !keepHash.empty()) {
        certificate_->addItem("Certificate not in this store (SHA-1 " + FromStoreText(keepHash) + ")",
                              FromStoreText(keepHash));
        selected = certificate_->count() - 1;
    }
    certificate_->setCurrentIndex(selected);
}

std::string CTlsPage::chosenHash() const { return ToStoreText(certificate_->currentData().toString()); }

void CTlsPage::OnCertificateChosen() {
    const std::string hash = chosenHash();
    if (hash.empty()) {
        forbidUser_->setChecked(false);
        return;
    }
    const std::string why = context().app.files().CheckCertificate(machineStore_->isChecked() ? 1 : 0, hash);
    if (!why.empty())
        Tell(QString(kNoContext) + "\n" + FromStoreText(why));
}

void CTlsPage::OnRequireClicked(QCheckBox* box) {
    if (!box->isChecked() || !chosenHash().empty())
        return;
    Tell(kNeedCertificate, IPrompt::Icon::Error);
    forbidUser_->setChecked(false);
    forbidData_->setChecked(false);
}

void CTlsPage::UpdateControls() { ftpsPort_->setEnabled(implicit_->isChecked()); }

bool CTlsPage::Apply() {
    if (!BeginWrite(kWriteFailed))
        return false;
    Write();
    EndWrite(kWriteFailed);
    return false;
}

void CTlsPage::Write() {
    PutInt("CertificateStore", machineStore_->isChecked() ? 1 : 0);
    PutBinary("CertificateHash", BytesOf(chosenHash()));
    PutCheck("ForbidClearUser", forbidUser_);
    PutCheck("ForbidClearData", forbidData_);
    PutText("FTPSPort", implicit_->isChecked() ? ftpsPort_->text().trimmed() : QString());
    PutInt("ClientCertificateAction", require_->isChecked() ? 2 : accept_->isChecked() ? 1 : 0);
    PutInt("ClientCertificateMappings", reject_->isChecked() ? 2 : map_->isChecked() ? 1 : 0);
}

}  // namespace orvyn::applet

#include <pwd.h>
#include "applet/StoreText.h"
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <climits>
#include <vector>

#include "applet/CplApp.h"
#include "applet/SetPassDlg.h"
#include "applet/sheet/Pages.h"

namespace orvyn::applet {

namespace {
const char* const kWriteFailed = "Unable to write to registry";
const char* const kSecurityOff =
    "You have opted to disable security on this server!\nPlease note that this means that anyone can log in from "
    "anywhere,\nwithout having to know a username or password, and have access to your \nentire system.  We highly "
    "recommend that you re-enable security.";
const char* const kCannotConfirm =
    "I cannot confirm that this user exists - if it does not, anonymous users will not be able to log in.";
const char* const kNoAnonUser =
    "Warning - you are allowing anonymous users the same rights as are assigned to the user that runs the ORVYN Pro "
    "service.  Make absolutely sure that you have restricted this user as much as necessary, or prevent the "
    "anonymous user from logging on.";
const char* const kZeroTimeOut =
    "Note - a zero time-out may result in locked\nfiles, and sockets left open, consuming valuable\nsystem "
    "resources.\nWe recommend using a large time-out value, rather\nthan disabling the time-out altogether.";
const char* const kNoSuchDirectory =
    "The directory you specified does not exist, or is not a directory.  \nYou must enter a directory that exists, "
    "or a blank entry, before leaving this field.";

// Whether the system knows the account (through NSS, as logins find it).
bool AccountExists(const QString& name) {
    const std::string n = ToStoreText(name);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    return getpwnam_r(n.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
}

QSpinBox* Number(QWidget* parent, const char* name) {
    auto* box = new QSpinBox(parent);
    box->setObjectName(name);
    box->setRange(0, INT_MAX);
    box->setMinimumWidth(90);
    return box;
}
}  // namespace

// Directory chooser shared by the pages: starts at the present value and
// returns a path ending in "/" (empty on Cancel).
QString ChooseDirectory(QWidget* parent, const QString& start) {
    QString dir = QFileDialog::getExistingDirectory(parent, "Select a Directory", start,
                                                    QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (!dir.isEmpty() && !dir.endsWith('/'))
        dir += '/';
    return dir;
}

CSecurityPage::CSecurityPage(SheetContext& context) : CCtxPage(context, "Security", "Security", "sheet-security") {
    secure_ = new QCheckBox("Enable &Security", this);
    secure_->setObjectName("Secure");
    allowPuts_ = new QCheckBox("Allow &users to write to files (e.g. Upload, Rename, Delete, etc)", this);
    allowPuts_->setObjectName("Allow_Puts");

    auto* anonymous = new QGroupBox("&Anonymous access", this);
    allowAnon_ = new QCheckBox("Allow &Logon to this server", anonymous);
    allowAnon_->setObjectName("Allow_Anon");
    anonUser_ = new QLineEdit(anonymous);
    anonUser_->setObjectName("AnonUser");
    anonUserLabel_ = new QLabel("As:", anonymous);
    anonPuts_ = new QCheckBox("Allow write to fi&les (upload,etc)", anonymous);
    anonPuts_->setObjectName("Allow_Anon_Puts");
    auto* anonLayout = new QVBoxLayout(anonymous);
    auto* asRow = new QHBoxLayout;
    asRow->addWidget(allowAnon_);
    asRow->addSpacing(12);
    asRow->addWidget(anonUserLabel_);
    asRow->addWidget(anonUser_, 1);
    anonLayout->addLayout(asRow);
    anonLayout->addWidget(anonPuts_);

    maxUsers_ = Number(this, "MaxUsers");
    timeOut_ = Number(this, "TimeOut");
    restrict_ = new QLineEdit(this);
    restrict_->setObjectName("RestrictToDirectory");
    browse_ = new QPushButton("&Browse...", this);
    browse_->setObjectName("BrowseRestrict");
    model_ = new QComboBox(this);
    model_->setObjectName("ServerType");
    model_->addItem("Classic ORVYN - standalone user database.");
    model_->addItem("Windows - use operating system security.");
    domain_ = new QLineEdit(this);
    domain_->setObjectName("DefaultDomain");
    domainLabel_ = new QLabel("Default &Domain:", this);
    domainLabel_->setBuddy(domain_);

    auto* form = new QFormLayout;
    auto* numbers = new QHBoxLayout;
    numbers->addWidget(maxUsers_);
    numbers->addSpacing(16);
    auto* timeOutLabel = new QLabel("Idle &Timeout (seconds):", this);
    timeOutLabel->setBuddy(timeOut_);
    numbers->addWidget(timeOutLabel);
    numbers->addWidget(timeOut_);
    numbers->addStretch();
    auto* maxLabel = new QLabel("Ma&ximum User Count:", this);
    maxLabel->setBuddy(maxUsers_);
    form->addRow(maxLabel, numbers);
    auto* restrictRow = new QHBoxLayout;
    restrictRow->addWidget(restrict_, 1);
    restrictRow->addWidget(browse_);
    auto* restrictLabel = new QLabel("&Restrict Server to Path:", this);
    restrictLabel->setBuddy(restrict_);
    form->addRow(restrictLabel, restrictRow);
    form->addRow("User Security &Model:", model_);
    form->addRow(domainLabel_, domain_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(secure_);
    layout->addWidget(allowPuts_);
    layout->addWidget(anonymous);
    layout->addLayout(form);
    layout->addStretch();

    connect(secure_, &QCheckBox::clicked, this, &CSecurityPage::OnSecureClicked);
    for (QCheckBox* box : {allowPuts_, allowAnon_})
        connect(box, &QCheckBox::clicked, this, &CSecurityPage::UpdateControls);
    connect(model_, &QComboBox::activated, this, &CSecurityPage::UpdateControls);
    connect(anonUser_, &QLineEdit::editingFinished, this, &CSecurityPage::OnAnonUserLeft);
    connect(restrict_, &QLineEdit::editingFinished, this, [this] {
        if (this->context().local)
            Validate();
    });
    connect(browse_, &QPushButton::clicked, this, [this] {
        const QString dir = ChooseDirectory(this, restrict_->text());
        if (!dir.isEmpty()) {
            restrict_->setText(dir);
            setModified();
        }
    });
}

bool CSecurityPage::secure() const { return secure_->isChecked(); }

bool CSecurityPage::ntsam() const { return model_->currentIndex() == 1; }

void CSecurityPage::Read() {
    secure_->setChecked(Flag("Secure", true));
    allowPuts_->setChecked(Flag("Allow_Puts", true));
    allowAnon_->setChecked(Flag("Allow_Anon", false));
    acceptedUser_ = Text("AnonUser", "Guest");
    anonUser_->setText(acceptedUser_);
    anonPass_ = Text("AnonPass", "");
    anonPuts_->setChecked(Flag("Allow_Anon_Puts", false));
    maxUsers_->setValue(static_cast<int>(std::clamp<long>(Int("MaxUsers", 0), 0, INT_MAX)));
    timeOut_->setValue(static_cast<int>(std::clamp<long>(Int("TimeOut", 300), 0, INT_MAX)));
    readRestrict_ = Text("RestrictToDirectory", "");
    restrict_->setText(readRestrict_);
    model_->setCurrentIndex(Text("ServerType", "ORVYN").compare("NTSAM", Qt::CaseInsensitive) == 0 ? 1 : 0);
    domain_->setText(Text("DefaultDomain", ""));
    UpdateControls();
}

void CSecurityPage::UpdateControls() {
    const bool on = secure_->isChecked();
    for (QWidget* w : findChildren<QWidget*>())
        if (w != secure_ && w->parentWidget() == this)
            w->setEnabled(on);
    for (QWidget* w : {static_cast<QWidget*>(allowAnon_), static_cast<QWidget*>(anonUser_),
                       static_cast<QWidget*>(anonUserLabel_), static_cast<QWidget*>(anonPuts_)})
        w->setEnabled(on);
    const bool windows = on && ntsam();
    for (QWidget* w : {static_cast<QWidget*>(anonUser_), static_cast<QWidget*>(anonUserLabel_),
                       static_cast<QWidget*>(domain_), static_cast<QWidget*>(domainLabel_)})
        w->setEnabled(windows);
    anonPuts_->setEnabled(on && allowAnon_->isChecked() && allowPuts_->isChecked());
    browse_->setEnabled(on && context().local);
}

void CSecurityPage::OnSecureClicked() {
    if (!secure_->isChecked())
        Tell(kSecurityOff, IPrompt::Icon::Error);
    UpdateControls();
    emit secureChanged(secure_->isChecked());
}

void CSecurityPage::OnAnonUserLeft() {
    const QString name = anonUser_->text().trimmed();
    if (context().local && !name.isEmpty() && !AccountExists(name))
        Tell(kCannotConfirm);
    if (name == acceptedUser_)
        return;
    if (name.isEmpty()) {
        anonPass_.clear();
        acceptedUser_.clear();
        Tell(kNoAnonUser);
        setModified();
        return;
    }
    CSetPassDlg dlg(this, "Enter password for user.");
    if (dlg.exec() != QDialog::Accepted) {
        anonUser_->setText(acceptedUser_);
        return;
    }
    anonPass_ = dlg.password();
    acceptedUser_ = name;
    setModified();
}

bool CSecurityPage::Validate() {
    // A folder that is not there now (a mount not made yet) is kept as
    // stored until the administrator changes it.
    if (restrict_->text() == readRestrict_)
        return true;
    const QString typed = restrict_->text().trimmed();
    if (typed.isEmpty()) {
        restrict_->clear();
        return true;
    }
    const QString path = FromStoreText(NormaliseDirectory(ToStoreText(typed)));
    if (path != restrict_->text())
        restrict_->setText(path);
    if (!context().local || QFileInfo(path).isDir())
        return true;
    Tell(kNoSuchDirectory);
    QTimer::singleShot(0, restrict_, [this] { restrict_->setFocus(); });
    return false;
}

bool CSecurityPage::Apply() {
    if (timeOut_->value() == 0)
        Tell(kZeroTimeOut, IPrompt::Icon::Information);
    if (!BeginWrite(kWriteFailed))
        return true;
    Write();
    EndWrite(kWriteFailed);
    readRestrict_ = restrict_->text();
    return true;
}

void CSecurityPage::Write() {
    PutCheck("Secure", secure_);
    PutCheck("Allow_Puts", allowPuts_);
    PutCheck("Allow_Anon", allowAnon_);
    PutText("AnonUser", anonUser_->text().trimmed());
    PutText("AnonPass", anonPass_);
    PutCheck("Allow_Anon_Puts", anonPuts_);
    PutInt("MaxUsers", maxUsers_->value());
    PutInt("TimeOut", timeOut_->value());
    PutText("RestrictToDirectory", restrict_->text());
    PutText("ServerType", ntsam() ? "NTSAM" : "ORVYN");
    if (ntsam())
        PutText("DefaultDomain", domain_->text().trimmed());
}

}  // namespace orvyn::applet

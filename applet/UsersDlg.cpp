#include "applet/UsersDlg.h"
#include "applet/StoreText.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeySequence>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/NewUserDlg.h"
#include "applet/ServerList.h"
#include "applet/SetPassDlg.h"
#include "service/base/settings/ServerRegistry.h"

namespace orvyn::applet {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kListRole = Qt::UserRole + 1;  // 0 not listed, 1 listing, 2 listed
constexpr int kPlaceholderRole = Qt::UserRole + 2;
// Folders inserted per turn of the event loop while a listing arrives.
constexpr size_t kBatch = 2000;

const char* const kTitle = "User Configuration Dialog";
const char* const kWriteError = "Unable to write to registry";

// Wait cursor for the length of a scope.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

std::string Std(const QString& s) { return ToStoreText(s); }

QString ParentOf(const QString& path) {
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QString("/") : path.left(slash);
}

bool SameNoCase(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

QString HostName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return QString::fromLocal8Bit(host);
}

// The text of a check box's third state: the default user's setting.
QString DefaultText(bool on) { return on ? "(default: on)" : "(default: off)"; }

}  // namespace

CUsersDlg::CUsersDlg(COrvynCplApp& app, const QString& server, QWidget* parent, IPrompt* prompt)
    : QDialog(parent), app_(app), prompt_(prompt), lister_(new CFolderLister(app.files(), this)) {
    if (!prompt_) {
        ownPrompt_ = std::make_unique<MessageBoxPrompt>(this);
        prompt_ = ownPrompt_.get();
    }
    setWindowTitle(kTitle);
    setSizeGripEnabled(true);
    connect(lister_, &CFolderLister::Listed, this, &CUsersDlg::OnListed);
    batchTimer_.setInterval(0);
    connect(&batchTimer_, &QTimer::timeout, this, &CUsersDlg::InsertBatch);
    BuildLayout();

    CServerRegistry product(app_.store(), "", nullptr);
    xeroxOption_ = product.ReadInt("General", "Xerox Docutech", 0) != 0;
    xerox_->setVisible(xeroxOption_);

    {
        QSignalBlocker block(servers_);
        for (const std::string& name : ServerNames(app_.store()))
            servers_->addItem(FromStoreText(name));
        int index = server.isEmpty() ? 0 : servers_->findText(server, Qt::MatchFixedString);
        servers_->setCurrentIndex(std::max(index, 0));
    }
    server_ = servers_->currentText();
    LoadServer();
    resize(760, 560);
}

CUsersDlg::~CUsersDlg() {
    // The lister's worker stops before the tree goes.
    delete lister_;
}

void CUsersDlg::BuildLayout() {
    servers_ = new QComboBox(this);
    servers_->setObjectName("Servers");
    domains_ = new QComboBox(this);
    domains_->setObjectName("Domains");
    domainLabel_ = new QLabel("Domain / Computer name:", this);
    connect(servers_, &QComboBox::currentTextChanged, this, &CUsersDlg::SelectServer);
    connect(domains_, &QComboBox::currentTextChanged, this, &CUsersDlg::SelectDomain);

    // The commands are reached with Tab as well (Space presses them): a
    // toolbar's buttons take no focus of their own.
    std::vector<QWidget*> userButtons, folderButtons;
    auto make = [this](QToolBar* bar, const char* text, const char* tip, void (CUsersDlg::*slot)(),
                       std::vector<QWidget*>& buttons) {
        QAction* a = bar->addAction(text);
        a->setToolTip(tip);
        a->setStatusTip(tip);
        connect(a, &QAction::triggered, this, slot);
        QWidget* button = bar->widgetForAction(a);
        button->setFocusPolicy(Qt::TabFocus);
        buttons.push_back(button);
        return a;
    };
    auto* userBar = new QToolBar(this);
    newUser_ = make(userBar, "New", "New User...", &CUsersDlg::OnNewUser, userButtons);
    deleteUser_ = make(userBar, "Delete", "Delete User", &CUsersDlg::OnDeleteUser, userButtons);
    setPassword_ = make(userBar, "Password", "Set Password...", &CUsersDlg::OnSetPassword, userButtons);
    disableUser_ = make(userBar, "Disable", "Disable User", &CUsersDlg::OnDisableUser, userButtons);
    disableUser_->setCheckable(true);
    auto* folderBar = new QToolBar(this);
    addShare_ = make(folderBar, "Add Folder", "Add Share...", &CUsersDlg::OnAddShare, folderButtons);
    setHome_ = make(folderBar, "Set Home", "Set Home Directory", &CUsersDlg::OnSetHome, folderButtons);
    goHome_ = make(folderBar, "Go Home", "Go to home directory", &CUsersDlg::OnGoHome, folderButtons);
    revertHome_ = make(folderBar, "Default Home", "Revert to default home.", &CUsersDlg::OnRevertHome, folderButtons);

    users_ = new QListWidget(this);
    users_->setObjectName("Users");
    connect(users_, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem* current) { OnUserChanged(current); });

    tree_ = new QTreeWidget(this);
    tree_->setObjectName("Folders");
    tree_->setHeaderLabels({"Folder", "Rights"});
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tree_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    tree_->setUniformRowHeights(true);
    connect(tree_, &QTreeWidget::itemExpanded, this, &CUsersDlg::OnExpanded);
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] {
        ShowFolderRights();
        UpdateCommands();
    });
    root_ = new QTreeWidgetItem(tree_, {kEverywhere});
    root_->setData(0, kPathRole, QString(kEverywhere));
    root_->setData(0, kListRole, 2);
    root_->setToolTip(0, "Every path no other entry covers");
    nodes_.insert(kEverywhere, root_);
    NewNode(root_, "/", "/");
    root_->setExpanded(true);

    auto box = [this](const char* text, const char* name) {
        auto* b = new QCheckBox(text, this);
        b->setObjectName(name);
        return b;
    };
    inherit_ = box("Inherit From Parent", "Inherit");
    read_ = box("Read Files", "Read");
    list_ = box("List Files", "List");
    create_ = box("Create Files / Dirs", "Create");
    overwrite_ = box("Overwrite Files", "Overwrite");
    noAccess_ = box("No Access", "NoAccess");
    connect(inherit_, &QCheckBox::clicked, this, &CUsersDlg::OnInheritClicked);
    for (QCheckBox* b : {read_, list_, create_, overwrite_})
        connect(b, &QCheckBox::clicked, this, &CUsersDlg::OnRightClicked);
    connect(noAccess_, &QCheckBox::clicked, this, &CUsersDlg::OnNoAccessClicked);

    restricted_ = box("Restrict User to Home Directory and Below", "Restricted");
    remoteAdmin_ = box("User is Remote Administrator for This Server", "RemoteAdmin");
    forceEfs_ = box("Enforce EFS file encryption on all uploads", "ForceEFS");
    xerox_ = box("User is a Xerox Docutech", "Xerox");
    restrictedDefault_ = new QLabel(this);
    restrictedDefault_->setObjectName("RestrictedDefault");
    forceEfsDefault_ = new QLabel(this);
    forceEfsDefault_->setObjectName("ForceEFSDefault");
    for (QLabel* l : {restrictedDefault_, forceEfsDefault_})
        l->setForegroundRole(QPalette::PlaceholderText);
    connect(restricted_, &QCheckBox::clicked, this, &CUsersDlg::OnRestrictedClicked);
    connect(remoteAdmin_, &QCheckBox::clicked, this, &CUsersDlg::OnRemoteAdminClicked);
    connect(forceEfs_, &QCheckBox::clicked, this, [this] {
        const Qt::CheckState state = forceEfs_->checkState();
        record_.forceEfs = state == Qt::PartiallyChecked ? std::nullopt : std::optional<bool>(state == Qt::Checked);
        ShowFlags();
    });
    connect(xerox_, &QCheckBox::clicked, this, [this](bool checked) { record_.xerox = checked; });

    // Left: the users; right: the folders with the selected folder's rights.
    auto* userPane = new QWidget(this);
    auto* userColumn = new QVBoxLayout(userPane);
    userColumn->setContentsMargins(0, 0, 0, 0);
    userColumn->addWidget(userBar);
    userColumn->addWidget(users_, 1);
    auto* folderPane = new QWidget(this);
    auto* folderColumn = new QVBoxLayout(folderPane);
    folderColumn->setContentsMargins(0, 0, 0, 0);
    folderColumn->addWidget(folderBar);
    folderColumn->addWidget(tree_, 1);
    auto* rights = new QGroupBox("Rights of the selected folder", this);
    auto* rightsGrid = new QGridLayout(rights);
    rightsGrid->addWidget(inherit_, 0, 0, 1, 2);
    rightsGrid->addWidget(read_, 1, 0);
    rightsGrid->addWidget(list_, 1, 1);
    rightsGrid->addWidget(create_, 2, 0);
    rightsGrid->addWidget(overwrite_, 2, 1);
    rightsGrid->addWidget(noAccess_, 3, 0);
    folderColumn->addWidget(rights);
    auto* splitter = new QSplitter(this);
    splitter->addWidget(userPane);
    splitter->addWidget(folderPane);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({290, 470});

    auto* flags = new QGroupBox("User settings", this);
    auto* flagGrid = new QGridLayout(flags);
    flagGrid->addWidget(restricted_, 0, 0);
    flagGrid->addWidget(restrictedDefault_, 0, 1);
    flagGrid->addWidget(remoteAdmin_, 1, 0);
    flagGrid->addWidget(forceEfs_, 2, 0);
    flagGrid->addWidget(forceEfsDefault_, 2, 1);
    flagGrid->addWidget(xerox_, 3, 0);
    flagGrid->setColumnStretch(2, 1);

    // Down the left pane, then the right one: each toolbar before its list.
    QWidget* previous = domains_;
    for (QWidget* w : userButtons) setTabOrder(std::exchange(previous, w), w);
    setTabOrder(std::exchange(previous, users_), users_);
    for (QWidget* w : folderButtons) setTabOrder(std::exchange(previous, w), w);
    setTabOrder(previous, tree_);

    auto* top = new QGridLayout;
    top->addWidget(new QLabel("Display users for server:", this), 0, 0);
    top->addWidget(servers_, 0, 1);
    top->addWidget(domainLabel_, 1, 0);
    top->addWidget(domains_, 1, 1);
    top->setColumnStretch(1, 1);

    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Help, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CUsersDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::helpRequested, this, [this] { ShowHelp(); });
    auto* help = new QShortcut(QKeySequence::HelpContents, this);
    connect(help, &QShortcut::activated, this, [this] { ShowHelp(); });

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    layout->addWidget(flags);
    layout->addWidget(buttons);
}

QAction* CUsersDlg::command(const QString& tooltip) const {
    for (QAction* a : {newUser_, deleteUser_, setPassword_, disableUser_, addShare_, setHome_, goHome_, revertHome_})
        if (a->toolTip() == tooltip)
            return a;
    return nullptr;
}

// ---- servers, domains, users ----

void CUsersDlg::SelectServer(const QString& server) {
    if (switching_ || server == server_)
        return;
    if (!SaveUser())
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
    {
        QSignalBlocker block(servers_);
        servers_->setCurrentText(server);
    }
    server_ = server;
    LoadServer();
}

void CUsersDlg::LoadServer() {
    CServerRegistry registry(app_.store(), Std(server_), nullptr);
    systemModel_ = SameNoCase(FromStoreText(registry.ReadString("Security", "ServerType", "ORVYN")), "NTSAM");
    QString defaultDomain = FromStoreText(registry.ReadString("Security", "DefaultDomain", ""));
    const QString host = HostName();
    if (SameNoCase(defaultDomain, host))
        defaultDomain.clear();
    {
        QSignalBlocker block(domains_);
        domains_->clear();
        if (systemModel_) {
            domains_->addItem(host);
            if (!defaultDomain.isEmpty())
                domains_->addItem(defaultDomain);
            domains_->setCurrentIndex(defaultDomain.isEmpty() ? 0 : 1);
        }
    }
    domainLabel_->setVisible(systemModel_);
    domains_->setVisible(systemModel_);
    domain_ = defaultDomain;
    LoadUsers();
}

void CUsersDlg::SelectDomain(const QString& domain) {
    if (switching_ || !systemModel_)
        return;
    const QString chosen = SameNoCase(domain, HostName()) ? QString() : domain;
    if (chosen == domain_)
        return;
    if (!SaveUser())
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
    {
        QSignalBlocker block(domains_);
        domains_->setCurrentText(chosen.isEmpty() ? HostName() : chosen);
    }
    domain_ = chosen;
    LoadUsers();
}

void CUsersDlg::LoadUsers() {
    WaitCursor wait;
    ClearUser();
    key_ = server_.isEmpty() ? nullptr : std::make_unique<CUsersKey>(app_.store(), Std(server_), Std(domain_));
    std::vector<std::string> names;
    if (key_) {
        // The accounts of the managed computer's password database.
        if (systemModel_ && domain_.isEmpty())
            app_.files().ListAccounts(names);
        for (std::string& name : key_->Names()) {
            // With this computer chosen, the keys of the domains are not
            // users.
            const QString text = FromStoreText(name);
            const bool domainKey =
                systemModel_ && domain_.isEmpty() && domains_->findText(text, Qt::MatchFixedString) > 0;
            if (domainKey)
                continue;
            names.push_back(std::move(name));
        }
        names.push_back(kAnonymousUser);
        names.push_back(kDefaultUser);
    }
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return CompareTextNoCase(a, b) < 0; });
    names.erase(std::unique(names.begin(), names.end(),
                            [](const std::string& a, const std::string& b) { return CompareTextNoCase(a, b) == 0; }),
                names.end());
    switching_ = true;
    users_->clear();
    for (const std::string& name : names)
        users_->addItem(FromStoreText(name));
    users_->setCurrentRow(-1);
    switching_ = false;
    UpdateCommands();
}

void CUsersDlg::SelectUser(const QString& user) {
    const auto found = users_->findItems(user, Qt::MatchFixedString);
    if (!found.isEmpty())
        users_->setCurrentItem(found.first());
}

void CUsersDlg::OnUserChanged(QListWidgetItem* current) {
    if (switching_)
        return;
    if (!SaveUser())
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
    ClearUser();
    if (current)
        LoadUser(current->text());
    UpdateCommands();
}

bool CUsersDlg::IsPseudo(const QString& user) const {
    return SameNoCase(user, kDefaultUser) || SameNoCase(user, kAnonymousUser);
}

void CUsersDlg::ClearUser() {
    for (const auto& [path, mask] : record_.rights)
        if (QTreeWidgetItem* node = nodes_.value(FromStoreText(HomeOfFolder(path))))
            node->setText(1, {});
    if (QTreeWidgetItem* home = homeNode()) {
        QFont font = home->font(0);
        font.setBold(false);
        home->setFont(0, font);
    }
    homePath_.clear();
    user_.clear();
    record_ = UserRecord{};
    defaultRights_.clear();
    ShowFolderRights();
    ShowFlags();
}

void CUsersDlg::LoadUser(const QString& user) {
    if (!key_)
        return;
    WaitCursor wait;
    user_ = user;
    record_ = key_->Load(Std(user), xeroxOption_);
    const bool isDefault = SameNoCase(user, kDefaultUser);
    if (!isDefault) {
        const UserRecord defaults = key_->Load(kDefaultUser, false);
        defaultRights_ = defaults.rights;
        defaultRestricted_ = defaults.restricted.value_or(false);
        defaultForceEfs_ = defaults.forceEfs.value_or(false);
    }
    for (const auto& [path, mask] : record_.rights)
        SetEntry(FolderNode(FromStoreText(HomeOfFolder(path)), true), mask);
    if (!record_.home.empty()) {
        MarkHome(FromStoreText(HomeOfFolder(record_.home)));
        if (QTreeWidgetItem* home = homeNode())
            tree_->scrollToItem(home);
    }
    ShowFolderRights();
    ShowFlags();
}

bool CUsersDlg::SaveUser() {
    if (user_.isEmpty() || !key_)
        return true;
    record_.home = Std(homePath_);
    return key_->Save(Std(user_), record_, xeroxOption_);
}

void CUsersDlg::accept() {
    if (!SaveUser()) {
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        return;
    }
    QDialog::accept();
}

// ---- the flags ----

void CUsersDlg::ShowFlags() {
    const bool shown = !user_.isEmpty();
    const bool isDefault = SameNoCase(user_, kDefaultUser);
    const bool ordinary = shown && !IsPseudo(user_);
    auto tri = [&](QCheckBox* b, QLabel* label, const std::optional<bool>& value, bool fallback) {
        QSignalBlocker block(b);
        b->setEnabled(shown);
        b->setTristate(shown && !isDefault);
        b->setCheckState(value ? (*value ? Qt::Checked : Qt::Unchecked) : Qt::PartiallyChecked);
        label->setText(shown && !isDefault && !value ? DefaultText(fallback) : QString());
    };
    tri(restricted_, restrictedDefault_, record_.restricted, defaultRestricted_);
    tri(forceEfs_, forceEfsDefault_, record_.forceEfs, defaultForceEfs_);
    QSignalBlocker b1(remoteAdmin_), b2(xerox_);
    // The service never takes an anonymous name for an administrator.
    remoteAdmin_->setEnabled(ordinary && !IsAnonymousName(Std(user_)));
    remoteAdmin_->setChecked(record_.remoteAdmin);
    xerox_->setEnabled(ordinary);
    xerox_->setChecked(record_.xerox);
    QSignalBlocker b3(disableUser_);
    disableUser_->setChecked(record_.disabled);
}

void CUsersDlg::OnRestrictedClicked() {
    const Qt::CheckState state = restricted_->checkState();
    record_.restricted = state == Qt::PartiallyChecked ? std::nullopt : std::optional<bool>(state == Qt::Checked);
    // A remote administrator is never restricted: turning either on turns
    // the other off.
    if (state != Qt::Unchecked)
        record_.remoteAdmin = false;
    ShowFlags();
}

void CUsersDlg::OnRemoteAdminClicked(bool checked) {
    record_.remoteAdmin = checked;
    if (checked)
        record_.restricted = false;
    ShowFlags();
}

// ---- the user commands ----

void CUsersDlg::UpdateCommands() {
    const bool shown = !user_.isEmpty();
    newUser_->setEnabled(key_ != nullptr);
    deleteUser_->setEnabled(shown);
    setPassword_->setEnabled(shown && !systemModel_ && !SameNoCase(user_, kDefaultUser));
    disableUser_->setEnabled(shown && !IsPseudo(user_));
    QTreeWidgetItem* node = tree_->currentItem();
    const bool folder = node && node != root_;
    setHome_->setEnabled(shown && folder);
    goHome_->setEnabled(shown && !homePath_.isEmpty());
    // A stored home the service does not read can be removed too.
    revertHome_->setEnabled(shown && (!homePath_.isEmpty() || record_.keepStoredHome));
    addShare_->setEnabled(true);
}

void CUsersDlg::OnNewUser() {
    if (!key_)
        return;
    CNewUserDlg ask(this);
    connect(&ask, &CNewUserDlg::helpRequested, this, [this, &ask] { ShowHelp(&ask); });
    if (ask.exec() != QDialog::Accepted)
        return;
    const QString name = ask.name();
    if (!users_->findItems(name, Qt::MatchFixedString).isEmpty()) {
        prompt_->Tell("Cannot add a user that already exists!", kTitle, IPrompt::Icon::Warning);
        SelectUser(name);
        return;
    }
    if (!ValidUserName(Std(name))) {
        prompt_->Tell("A user name cannot contain \"\\\", \"/\" or control characters, and cannot be "
                      "\"DefaultRights\".",
                      kTitle, IPrompt::Icon::Warning);
        return;
    }
    QString password;
    if (!systemModel_) {
        CSetPassDlg pass(this);
        if (pass.exec() != QDialog::Accepted)
            return;
        password = pass.password();
    } else {
        prompt_->Tell("You can't add users here!!!", kTitle, IPrompt::Icon::Information);
        if (!app_.files().AccountExists(Std(name)))
            prompt_->Tell("I cannot confirm that this user exists in Windows - if it does not, it will not be able "
                          "to log in.",
                          kTitle, IPrompt::Icon::Warning);
    }
    if (!SaveUser())
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
    const std::string user = Std(name);
    std::string secret = Std(password);
    const bool created = key_->Create(user) && (systemModel_ || key_->SetPassword(user, secret));
    std::fill(secret.begin(), secret.end(), '\0');
    password.fill(QChar(' '));
    if (!created) {
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        prompt_->Tell("There was a registry error while creating this user.\nThe user has not been created.", kTitle,
                      IPrompt::Icon::Warning);
        key_->Delete(user);
        return;
    }
    // Into its sorted place.
    int row = 0;
    while (row < users_->count() && CompareTextNoCase(Std(users_->item(row)->text()), user) < 0)
        ++row;
    switching_ = true;
    users_->insertItem(row, name);
    switching_ = false;
    // The user shown was saved above: nothing is written twice.
    user_.clear();
    users_->setCurrentRow(row);
}

void CUsersDlg::OnDeleteUser() {
    if (user_.isEmpty() || !key_)
        return;
    if (IsPseudo(user_)) {
        prompt_->Tell("Cannot delete the \"anonymous\" user, or the \"default\" pseudo-user.\nAnonymous access can be "
                      "disabled from the Security tab, and \"default\" cannot log in.",
                      kTitle, IPrompt::Icon::Warning);
        return;
    }
    if (!prompt_->AskYesNo("Are you sure you want to delete this user?\nYou will lose all ORVYN Pro settings "
                           "relating to that user.",
                           kTitle))
        return;
    if (!key_->Delete(Std(user_))) {
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        return;
    }
    const int row = users_->currentRow();
    // Nothing of the deleted user is saved again.
    user_.clear();
    record_ = UserRecord{};
    if (!systemModel_) {
        switching_ = true;
        delete users_->takeItem(row);
        switching_ = false;
    }
    const int next = std::min(systemModel_ ? row + 1 : row, users_->count() - 1);
    users_->setCurrentRow(-1);
    users_->setCurrentRow(next);
}

void CUsersDlg::OnSetPassword() {
    if (user_.isEmpty() || systemModel_ || !key_)
        return;
    CSetPassDlg pass(this);
    if (pass.exec() != QDialog::Accepted)
        return;
    QString password = pass.password();
    std::string secret = Std(password);
    const bool ok = key_->Create(Std(user_)) && key_->SetPassword(Std(user_), secret);
    std::fill(secret.begin(), secret.end(), '\0');
    password.fill(QChar(' '));
    if (!ok)
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
}

void CUsersDlg::OnDisableUser() {
    if (user_.isEmpty() || IsPseudo(user_))
        return;
    record_.disabled = !record_.disabled;
    ShowFlags();
}

// ---- the folder tree ----

QString CUsersDlg::PathOf(const QTreeWidgetItem* node) {
    return node ? node->data(0, kPathRole).toString() : QString();
}

QTreeWidgetItem* CUsersDlg::NewNode(QTreeWidgetItem* parent, const QString& path, const QString& label) {
    auto* node = new QTreeWidgetItem({label});
    node->setData(0, kPathRole, path);
    node->setData(0, kListRole, path.startsWith('/') ? 0 : 2);
    node->setChildIndicatorPolicy(path.startsWith('/') ? QTreeWidgetItem::ShowIndicator
                                                       : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    // Into its sorted place (after the placeholder of a listing under way).
    int low = FirstFolder(parent), high = parent->childCount();
    while (low < high) {
        const int mid = (low + high) / 2;
        if (parent->child(mid)->text(0) < label)
            low = mid + 1;
        else
            high = mid;
    }
    parent->insertChild(low, node);
    nodes_.insert(path, node);
    return node;
}

QTreeWidgetItem* CUsersDlg::FolderNode(const QString& path, bool create) {
    if (path.isEmpty())
        return nullptr;
    const QString p = path == kEverywhere ? path : FromStoreText(HomeOfFolder(Std(path)));
    if (QTreeWidgetItem* node = nodes_.value(p))
        return node;
    if (!create)
        return nullptr;
    // A path that is not below "/" (written for another system) hangs
    // directly under "*".
    if (!p.startsWith('/'))
        return NewNode(root_, p, p);
    QTreeWidgetItem* parent = FolderNode(ParentOf(p), true);
    return NewNode(parent, p, p.mid(p.lastIndexOf('/') + 1));
}

void CUsersDlg::SelectFolder(const QString& path) {
    QTreeWidgetItem* node = FolderNode(path, true);
    tree_->setCurrentItem(node);
    tree_->scrollToItem(node);
}

bool CUsersDlg::AddFolder(const QString& path) {
    const QString p = path.trimmed();
    if (!p.startsWith('/')) {
        prompt_->Tell("Please give the folder's full path, starting with \"/\".", kTitle, IPrompt::Icon::Warning);
        return false;
    }
    SelectFolder(p);
    return true;
}

void CUsersDlg::OnAddShare() {
    bool ok = false;
    const QString start = tree_->currentItem() && tree_->currentItem() != root_ ? PathOf(tree_->currentItem()) : "/";
    const QString path = QInputDialog::getText(this, "Add Share", "Folder of the server computer:", QLineEdit::Normal,
                                               start, &ok);
    if (ok)
        AddFolder(path);
}

void CUsersDlg::OnExpanded(QTreeWidgetItem* node) {
    if (!node || node->data(0, kListRole).toInt() != 0)
        return;
    node->setData(0, kListRole, 1);
    auto* placeholder = new QTreeWidgetItem({"(listing...)"});
    placeholder->setData(0, kPlaceholderRole, true);
    placeholder->setFlags(Qt::ItemIsEnabled);
    node->insertChild(0, placeholder);
    ++requested_;
    lister_->Request(PathOf(node));
}

void CUsersDlg::OnListed(const QString& path, int error, CFolderLister::Names names) {
    --requested_;
    QTreeWidgetItem* node = nodes_.value(path);
    if (!node)
        return;
    if (error != 0) {
        node->setToolTip(0, QString("The folder cannot be read: %1").arg(QString::fromLocal8Bit(strerror(error))));
        names = std::make_shared<const std::vector<std::string>>();
    }
    pending_.push_back({path, std::move(names), 0, 0});
    if (!batchTimer_.isActive())
        batchTimer_.start();
}

void CUsersDlg::InsertBatch() {
    if (pending_.empty()) {
        batchTimer_.stop();
        return;
    }
    Pending& job = pending_.front();
    QTreeWidgetItem* parent = nodes_.value(job.path);
    const std::vector<std::string>& names = *job.names;
    if (parent) {
        // The names come sorted and the children are kept sorted: the new
        // nodes are merged in runs between the folders already there
        // (rights entries, the home), never sorted as a whole.
        const QString prefix = job.path == "/" ? job.path : job.path + "/";
        job.pos = std::max(job.pos, FirstFolder(parent));
        QList<QTreeWidgetItem*> run;
        auto flush = [&] {
            if (run.isEmpty())
                return;
            parent->insertChildren(job.pos, run);
            job.pos += int(run.size());
            run.clear();
        };
        const size_t end = std::min(names.size(), job.next + kBatch);
        for (; job.next < end; ++job.next) {
            const QString name = FromStoreText(names[job.next]);
            // Hidden folders are not offered; folders already in the tree
            // stay as they are.
            if (name.startsWith('.') || nodes_.contains(prefix + name))
                continue;
            while (job.pos < parent->childCount() && parent->child(job.pos)->text(0) < name) {
                flush();
                ++job.pos;
            }
            auto* node = new QTreeWidgetItem({name});
            node->setData(0, kPathRole, prefix + name);
            node->setData(0, kListRole, 0);
            node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            nodes_.insert(prefix + name, node);
            run.append(node);
        }
        flush();
    }
    if (!parent || job.next >= names.size()) {
        if (parent) {
            if (FirstFolder(parent) == 1)
                delete parent->child(0);
            parent->setData(0, kListRole, 2);
            if (parent->childCount() == 0)
                parent->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        }
        pending_.pop_front();
    }
}

int CUsersDlg::FirstFolder(const QTreeWidgetItem* parent) {
    return parent->childCount() > 0 && parent->child(0)->data(0, kPlaceholderRole).toBool() ? 1 : 0;
}

// ---- rights of the selected folder ----

int CUsersDlg::Effective(const QString& path) const {
    const bool isDefault = SameNoCase(user_, kDefaultUser);
    return EffectiveRights(record_.rights, isDefault ? nullptr : &defaultRights_, Std(path));
}

void CUsersDlg::SetEntry(QTreeWidgetItem* node, std::optional<int> mask) {
    if (!node)
        return;
    const std::string name = EntryName(Std(PathOf(node)));
    if (mask) {
        record_.rights[name] = *mask;
        node->setText(1, *mask ? FromStoreText(LettersOfMask(*mask)) : QString("No Access"));
    } else {
        record_.rights.erase(name);
        node->setText(1, {});
    }
}

void CUsersDlg::ShowFolderRights() {
    QTreeWidgetItem* node = tree_->currentItem();
    const bool usable = node && !user_.isEmpty() && !node->data(0, kPlaceholderRole).toBool();
    const auto entry = usable ? record_.rights.find(EntryName(Std(PathOf(node)))) : record_.rights.end();
    const bool own = entry != record_.rights.end();
    const int mask = own ? entry->second : usable ? Effective(PathOf(node)) : 0;
    inherit_->setEnabled(usable);
    inherit_->setChecked(usable && !own);
    const std::pair<QCheckBox*, int> boxes[] = {{read_, kRead}, {list_, kList}, {create_, kCreate},
                                                {overwrite_, kOverwrite}};
    for (const auto& [box, bit] : boxes) {
        box->setEnabled(own);
        box->setChecked(usable && (mask & bit));
    }
    noAccess_->setEnabled(own);
    noAccess_->setChecked(usable && mask == 0);
}

void CUsersDlg::OnInheritClicked(bool checked) {
    QTreeWidgetItem* node = tree_->currentItem();
    if (!node || user_.isEmpty())
        return;
    if (!checked) {
        const std::string name = EntryName(Std(PathOf(node)));
        if (const std::string* twin = EntryDifferingInCase(record_.rights, name)) {
            prompt_->Tell(QString("%1 cannot have rights of its own: its name differs only in case from %2, "
                                  "which has them, and the settings store does not tell such names apart.")
                              .arg(FromStoreText(name), FromStoreText(*twin)),
                          kTitle, IPrompt::Icon::Warning);
            ShowFolderRights();
            return;
        }
    }
    SetEntry(node, checked ? std::nullopt : std::optional<int>(Effective(PathOf(node))));
    ShowFolderRights();
}

void CUsersDlg::OnRightClicked() {
    int mask = 0;
    if (read_->isChecked()) mask |= kRead;
    if (list_->isChecked()) mask |= kList;
    if (create_->isChecked()) mask |= kCreate;
    if (overwrite_->isChecked()) mask |= kOverwrite;
    SetEntry(tree_->currentItem(), mask);
    ShowFolderRights();
}

void CUsersDlg::OnNoAccessClicked(bool checked) {
    // Unticking "No Access" alone gives no right: a right box does that.
    if (checked)
        SetEntry(tree_->currentItem(), 0);
    ShowFolderRights();
}

// ---- home ----

QTreeWidgetItem* CUsersDlg::homeNode() const { return homePath_.isEmpty() ? nullptr : nodes_.value(homePath_); }

void CUsersDlg::MarkHome(const QString& home) {
    if (QTreeWidgetItem* old = homeNode()) {
        QFont font = old->font(0);
        font.setBold(false);
        old->setFont(0, font);
    }
    homePath_ = home;
    if (home.isEmpty())
        return;
    QTreeWidgetItem* node = FolderNode(home, true);
    QFont font = node->font(0);
    font.setBold(true);
    node->setFont(0, font);
}

void CUsersDlg::OnSetHome() {
    QTreeWidgetItem* node = tree_->currentItem();
    if (user_.isEmpty() || !node || node == root_ || node->data(0, kPlaceholderRole).toBool())
        return;
    MarkHome(FromStoreText(HomeOfFolder(Std(PathOf(node)))));
    record_.keepStoredHome = false;
    UpdateCommands();
}

void CUsersDlg::OnGoHome() {
    if (homePath_.isEmpty())
        return;
    SelectFolder(homePath_);
}

void CUsersDlg::OnRevertHome() {
    MarkHome({});
    record_.keepStoredHome = false;
    UpdateCommands();
}

void CUsersDlg::ShowHelp(QWidget* owner) {
    if (!CHelpWindow::Of(owner ? owner : this).ShowTopic("users"))
        prompt_->Tell("Failed to find information in the help file on users", "HTML Help Error",
                      IPrompt::Icon::Warning);
}

}  // namespace orvyn::applet

#include "applet/MainDlg.h"
#include "applet/StoreText.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QToolBar>
#include <QVBoxLayout>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "applet/ColumnLayout.h"
#include "applet/ConnectDialog.h"
#include "applet/CplApp.h"
#include "applet/HelpWindow.h"
#include "applet/sheet/ServerSheet.h"
#include "applet/MessageBox.h"
#include "applet/ServerCommands.h"
#include "applet/ServerKeys.h"
#include "applet/ServerList.h"
#include "applet/UsersDlg.h"
#include "service/base/settings/ServerRegistry.h"

#ifndef ORVYN_APPLET_VERSION
#define ORVYN_APPLET_VERSION "0.0.0.0"
#endif

namespace orvyn::applet {

namespace {

// The least width of the connections frame beside the servers frame.
constexpr int kConnectionFrameMin = 200;

constexpr int kWatchMs = 5000;
constexpr int kIdleMs = 200;
constexpr int kStateRole = Qt::UserRole + 1;
constexpr const char* kTopicProperty = "helpTopic";

const char* const kWriteError = "There was an error writing to the registry.\nWhat you tried to do has not occurred.";
const char* const kDeleteWarning =
    "Warning - you are about to delete a server.\nThis action is not reversable - you will delete all\n"
    "information associated with that server - all users,\nall rights, everything associated with that server.\n"
    "Press OK if this is really what you want to do, or\npress Cancel to back out.";
const char* const kTitle = "ORVYN FTP Server";
const char* const kRemoteFailed =
    "Sorry - we were unable to connect to a remote machine of that name.\nNote that you need to have sufficient "
    "privileges on that remote machine to access its registry, and to monitor, start and stop its services.";

QString LocalLabel() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return QString("Monitoring system '%1' (local computer):").arg(QString::fromLocal8Bit(host));
}

const std::vector<std::string> kServerTitles = {"Name", "Address", "# Address", "Port", "# Port", "Status"};
const std::vector<QString> kServerSamples = {"Server Nickname", "ftp.long-host.example.com",
                                             "255.255.255.255", "PORT", "2048", "Fatal Error"};
const std::vector<std::string> kConnectionTitles = {"Name", "#", "IP", "Command", "Status"};
const std::vector<QString> kConnectionSamples = {"longusername", "8888", "255.255.255.255",
                                                 "Fairly long last command", "Success"};

// The 16-pixel status icons: stopped, running, paused, fatal error.
QIcon StateIcon(int state) {
    static const QColor colours[] = {QColor(128, 128, 128), QColor(0, 160, 0), QColor(230, 180, 0),
                                     QColor(200, 0, 0)};
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(colours[state & 3]);
    painter.setPen(Qt::black);
    painter.drawEllipse(2, 2, 12, 12);
    return QIcon(pixmap);
}

// A row of the server list: owns its record and sorts by the dialog's state.
class ServerItem : public QTreeWidgetItem {
public:
    ServerItem(ServerRecord record, const int* sortState) : record_(std::move(record)), sortState_(sortState) {}
    ServerRecord& record() { return record_; }
    bool operator<(const QTreeWidgetItem& other) const override {
        const auto& o = static_cast<const ServerItem&>(other);
        // Qt reverses the order itself for a descending sort.
        int column = *sortState_ < 0 ? -*sortState_ : *sortState_;
        return CompareServers(record_, o.record_, column) < 0;
    }

private:
    ServerRecord record_;
    const int* sortState_;
};

// A row of the connection list: owns its record; "#" sorts the highest id
// first in ascending order.
class ConnectionItem : public QTreeWidgetItem {
public:
    ConnectionItem(const int* sortState) : sortState_(sortState) {}
    ConnectionRecord& record() { return record_; }
    bool operator<(const QTreeWidgetItem& other) const override {
        const auto& o = static_cast<const ConnectionItem&>(other).record_;
        switch (*sortState_ < 0 ? -*sortState_ : *sortState_) {
        case 1: return CompareTextNoCase(record_.user, o.user) < 0;
        case 2: return o.id < record_.id;
        case 3: return CompareTextNoCase(record_.peer, o.peer) < 0;
        case 4: return CompareTextNoCase(record_.command, o.command) < 0;
        case 5: return CompareTextNoCase(record_.status, o.status) < 0;
        default: return false;
        }
    }

private:
    ConnectionRecord record_;
    const int* sortState_;
};

void WriteDword(reg::IStore& store, const char* name, int value) {
    auto data = reg::DwordData(static_cast<uint32_t>(value));
    store.SetValue(kProductKey, name, reg::REG_DWORD, data.data(), data.size());
}

constexpr int kDefaultWidth = 900;

int ReadDword(const reg::IStore& store, const char* name, int def) {
    reg::Value v;
    if (!store.QueryValue(kProductKey, name, v) || v.type != reg::REG_DWORD || v.data.size() < 4)
        return def;
    return static_cast<int32_t>(uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 |
                                uint32_t(v.data[3]) << 24);
}

// The account a monitor row stands for. The row shows the user name with
// every blank made "_", so the server's own users are searched for the one
// it came from; a name found nowhere is an account of the system (which
// has no blanks). Empty when no one account can be named on a DISA line:
// a blank in the name, or two users that both read as the row.
std::string AccountOfRow(reg::IStore& store, const std::string& server, const std::string& shown) {
    std::vector<std::string> users;
    store.EnumSubkeys(ServerKey(server) + "\\Users", users);
    std::vector<std::string> matches;
    for (const std::string& user : users) {
        std::string asShown = user;
        std::replace(asShown.begin(), asShown.end(), ' ', '_');
        if (CompareTextNoCase(asShown, shown) == 0) matches.push_back(user);
    }
    if (matches.empty()) return shown;
    if (matches.size() == 1 && matches.front().find(' ') == std::string::npos) return matches.front();
    return {};
}

}  // namespace

CMainDlg::CMainDlg(COrvynCplApp& app, QWidget* parent, IPrompt* prompt)
    : QDialog(parent), app_(app), prompt_(prompt) {
    monitor_ = new CServerMonitor(*this, this);
    if (!prompt_) {
        ownPrompt_ = std::make_unique<MessageBoxPrompt>(this);
        prompt_ = ownPrompt_.get();
    }
    setWindowTitle(QStringLiteral("ORVYN Pro ") + ORVYN_APPLET_VERSION + " Main Control");
    setSizeGripEnabled(true);
    BuildCommands();
    BuildLayout();

    RestoreLayout(servers_, "ServerListColumns", kServerTitles, kServerSamples, serverSort_);
    RestoreLayout(connections_, "UserListColumns", kConnectionTitles, kConnectionSamples, connectionSort_);

    connect(&watchTimer_, &QTimer::timeout, this, &CMainDlg::WatchService);
    watchTimer_.start(kWatchMs);
    connect(&idleTimer_, &QTimer::timeout, this, &CMainDlg::Idle);
    idleTimer_.start(kIdleMs);
    lastState_ = app_.service().QueryState();
    refresh_ = true;

    // Stored sizes are the applet's own but may be anything: they are kept
    // within the screen (a window wider than Qt's limit does not open).
    const int widest = std::max(screen() ? screen()->availableGeometry().width() : 0, kDefaultWidth);
    const int width = ReadDword(app_.store(), "MainDlgWidth", 0);
    const int split = ReadDword(app_.store(), "MainDlgSplit", 0);
    resize(width > 0 ? std::min(width, widest) : kDefaultWidth, 420);
    const int left = split > 0 ? std::min(split, widest - BesideSplit()) : 420;
    splitter_->setSizes({left, std::max(kConnectionFrameMin, this->width() - left)});
    KeepSplitWidth(left);
    connect(splitter_, &QSplitter::splitterMoved, this, [this](int position) { KeepSplitWidth(position); });
    Idle();
}

int CMainDlg::BesideSplit() const {
    const QMargins margins = layout()->contentsMargins();
    return splitter_->handleWidth() + kConnectionFrameMin + margins.left() + margins.right();
}

void CMainDlg::KeepSplitWidth(int split) { setMinimumWidth(split + BesideSplit()); }

CMainDlg::~CMainDlg() {
    monitor_->Reset();
    servers_->clear();
    connections_->clear();
    SaveLayout(servers_, "ServerListColumns", kServerTitles, serverSort_);
    SaveLayout(connections_, "UserListColumns", kConnectionTitles, connectionSort_);
    WriteDword(app_.store(), "MainDlgWidth", width());
    WriteDword(app_.store(), "MainDlgSplit", splitter_->sizes().value(0));
}

void CMainDlg::BuildCommands() {
    auto make = [this](const char* text, const char* tip, void (CMainDlg::*slot)()) {
        auto* a = new QAction(QString::fromUtf8(text), this);
        a->setToolTip(QString::fromUtf8(tip));
        a->setStatusTip(QString::fromUtf8(tip));
        if (slot)
            connect(a, &QAction::triggered, this, slot);
        commands_.push_back(a);
        return a;
    };
    configure_ = make("&Configure Server...", "Configure the selected server", &CMainDlg::OnConfigureServer);
    users_ = make("&Users for Server...", "Users and rights of the selected server", &CMainDlg::OnUsers);
    new_ = make("&New Server...", "Create a new server", &CMainDlg::OnNewServer);
    rename_ = make("&Rename Server...", "Rename the selected server", &CMainDlg::OnRenameServer);
    rename_->setShortcut(QKeySequence(Qt::Key_F2));
    rename_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    delete_ = make("&Delete Server...", "Delete the selected server", &CMainDlg::OnDeleteServer);
    export_ = make("&Export Server...", "Export the selected server to a file", &CMainDlg::OnExportServer);
    import_ = make("&Import Server...", "Import a server from a file", &CMainDlg::OnImportServer);
    stop_ = make("&Stop Server", "Stop the selected server", &CMainDlg::OnStartStopServer);
    start_ = make("&Start Server", "Start the selected server", &CMainDlg::OnStartStopServer);
    disconnect_ = make("Dis&connect user", "Disconnect selected user(s)", &CMainDlg::OnDisconnectSelected);
    disable_ = make("Dis&able user", "Disable User", &CMainDlg::OnDisableSelected);
    disconnectAll_ = make("&Disconnect all users", "Disconnect all connected users.", &CMainDlg::OnDisconnectAll);
}

void CMainDlg::BuildLayout() {
    auto* menuBar = new QMenuBar(this);
    serverMenu_ = menuBar->addMenu("Se&rver");  // Alt+S and Alt+C belong to the buttons
    for (QAction* a : {configure_, users_, new_, rename_, delete_, export_, import_, stop_, start_})
        serverMenu_->addAction(a);
    connectionMenu_ = menuBar->addMenu("C&onnection");
    for (QAction* a : {disconnect_, disable_, disconnectAll_})
        connectionMenu_->addAction(a);

    serverBar_ = new QToolBar(this);
    for (QAction* a : {stop_, start_, new_, delete_, configure_, users_})
        serverBar_->addAction(a);
    connectionBar_ = new QToolBar(this);
    for (QAction* a : {disconnect_, disable_, disconnectAll_})
        connectionBar_->addAction(a);

    servers_ = new QTreeWidget(this);
    servers_->setObjectName("ServerList");
    servers_->setRootIsDecorated(false);
    servers_->setSelectionMode(QAbstractItemView::SingleSelection);
    servers_->setEditTriggers(QAbstractItemView::SelectedClicked);
    serverCommands_ = new CServerCommands(app_, *prompt_, this);
    servers_->setItemDelegate(new CServerNameDelegate(
        [this](const QString& name) { return !IsServerRunning(app_.store(), ToStoreText(name), lastState_); },
        [this](const QString& from, const QString& to) { refresh_ |= serverCommands_->Rename(from, to); }, this));
    servers_->setContextMenuPolicy(Qt::CustomContextMenu);
    servers_->addAction(rename_);
    connections_ = new QTreeWidget(this);
    connections_->setObjectName("ConnectionList");
    connections_->setRootIsDecorated(false);
    connections_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    connections_->setContextMenuPolicy(Qt::CustomContextMenu);
    for (QTreeWidget* list : {servers_, connections_}) {
        list->header()->setSectionsMovable(true);
        list->header()->setSectionsClickable(true);
        list->header()->setStretchLastSection(false);
        list->setAllColumnsShowFocus(true);
    }
    QStringList titles;
    for (const auto& t : kServerTitles)
        titles << FromStoreText(t);
    servers_->setHeaderLabels(titles);
    titles.clear();
    for (const auto& t : kConnectionTitles)
        titles << FromStoreText(t);
    connections_->setHeaderLabels(titles);

    connect(servers_->header(), &QHeaderView::sectionClicked, this, &CMainDlg::OnHeaderClicked);
    connect(connections_->header(), &QHeaderView::sectionClicked, this, [this](int logical) {
        const int column = logical + 1;
        SortConnections(connectionSort_ == column ? -column : column);
    });
    connect(connections_, &QTreeWidget::itemSelectionChanged, this, &CMainDlg::UpdateCommands);
    connect(servers_, &QTreeWidget::itemSelectionChanged, this, [this] { SelectServer(SelectedServer()); });
    // Double-click or Enter on a row configures that server.
    auto configureRow = [this] {
        UpdateCommands();
        if (configure_->isEnabled())
            configure_->trigger();
    };
    connect(servers_, &QTreeWidget::itemDoubleClicked, this, configureRow);
    for (auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* enter = new QShortcut(QKeySequence(key), servers_, nullptr, nullptr, Qt::WidgetShortcut);
        connect(enter, &QShortcut::activated, this, configureRow);
    }
    connect(servers_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowMenu(servers_, serverMenu_, pos, configure_); });
    connect(connections_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowMenu(connections_, connectionMenu_, pos, nullptr); });

    serverFrame_ = new QGroupBox("Servers", this);
    auto* left = new QVBoxLayout(serverFrame_);
    left->addWidget(serverBar_);
    left->addWidget(servers_);
    connectionFrame_ = new QGroupBox("Connections", this);
    auto* right = new QVBoxLayout(connectionFrame_);
    right->addWidget(connectionBar_);
    right->addWidget(connections_);

    splitter_ = new QSplitter(Qt::Horizontal, this);
    splitter_->addWidget(serverFrame_);
    splitter_->addWidget(connectionFrame_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setChildrenCollapsible(false);
    connectionFrame_->setMinimumWidth(kConnectionFrameMin);

    serviceButton_ = new QPushButton("No Svc status", this);
    connectButton_ = new QPushButton("&Connect to...", this);
    helpButton_ = new QPushButton("&Help", this);
    closeButton_ = new QPushButton("Close (Esc)", this);
    serviceButton_->setAutoDefault(false);
    connectButton_->setAutoDefault(false);
    helpButton_->setAutoDefault(false);
    closeButton_->setAutoDefault(false);
    connect(serviceButton_, &QPushButton::clicked, this, &CMainDlg::OnServiceButton);
    connect(connectButton_, &QPushButton::clicked, this, &CMainDlg::OnConnectButton);
    connect(helpButton_, &QPushButton::clicked, this, [this] { ShowHelp("main"); });
    auto* contextHelp = new QShortcut(QKeySequence::HelpContents, this);
    connect(contextHelp, &QShortcut::activated, this, [this] { ShowHelp(TopicAt(QCursor::pos())); });
    setProperty(kTopicProperty, "main");
    serverFrame_->setProperty(kTopicProperty, "servers");
    connectionFrame_->setProperty(kTopicProperty, "connections");
    serviceButton_->setProperty(kTopicProperty, "service");
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(serviceButton_);
    buttons->addWidget(connectButton_);
    buttons->addStretch(1);
    buttons->addWidget(helpButton_);
    buttons->addWidget(closeButton_);

    // The computer managed; another one is chosen with "&Connect to...".
    systemLabel_ = new QLabel(LocalLabel(), this);

    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addWidget(systemLabel_);
    layout->addWidget(splitter_, 1);
    layout->addLayout(buttons);
}

QAction* CMainDlg::command(const QString& text) const {
    for (QAction* a : commands_)
        if (a->text() == text)
            return a;
    return nullptr;
}

void CMainDlg::SelectServerRow(const QString& name) {
    servers_->clearSelection();
    for (int i = 0; i < servers_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = servers_->topLevelItem(i);
        if (row->text(0) == name) {
            servers_->setCurrentItem(row);
            row->setSelected(true);
        }
    }
}

QTreeWidgetItem* CMainDlg::SelectedServer() const {
    const auto rows = servers_->selectedItems();
    return rows.isEmpty() ? nullptr : rows.first();
}

const ServerRecord* CMainDlg::RecordOf(QTreeWidgetItem* row) const {
    return row ? &static_cast<ServerItem*>(row)->record() : nullptr;
}

bool CMainDlg::SelectedIsRunning() const {
    QTreeWidgetItem* row = SelectedServer();
    return row && IsServerRunning(app_.store(), ToStoreText(row->text(0)), lastState_);
}

void CMainDlg::WatchService() {
    const uint32_t state = app_.service().QueryState();
    if (state != lastState_) {
        lastState_ = state;
        serviceButton_->setEnabled(true);
        refresh_ = true;
    }
}

void CMainDlg::Idle() {
    // Another computer that stopped answering: said once, and back here;
    // not while a dialog is open, which may work on that computer's objects.
    if (!app_.remoteComputer().empty() && QApplication::activeModalWidget() == nullptr) {
        if (const std::string lost = app_.LostConnection(); !lost.empty()) {
            std::fprintf(stderr, "orvyn applet: %s\n", lost.c_str());
            ConnectTo(QString());
            prompt_->Tell(FromStoreText(lost) + "\nReturning to the local computer.", kTitle, IPrompt::Icon::Error);
        }
    }
    UpdateCommands();
    if (resortConnections_) {
        resortConnections_ = false;
        SortConnections(connectionSort_);
    }
    if (refresh_)
        RefreshServers();
}

void CMainDlg::RefreshServers() {
    QTreeWidgetItem* selected = SelectedServer();
    const QString remembered = selected ? selected->text(0) : QString();
    QTreeWidgetItem* reselect = nullptr;
    {
        QSignalBlocker block(servers_);
        servers_->clear();
        for (const std::string& name : ServerNames(app_.store())) {
            ServerRecord record = ReadServerRecord(app_.store(), name);
            const int state = record.State(lastState_);
            auto* row = new ServerItem(std::move(record), &serverSort_);
            const ServerRecord& r = row->record();
            row->setText(0, FromStoreText(r.name));
            row->setText(1, FromStoreText(r.address));
            row->setText(2, FromStoreText(r.numAddress));
            row->setText(3, FromStoreText(r.port));
            row->setText(4, FromStoreText(r.numPort));
            row->setText(5, StateText(state));
            row->setIcon(0, StateIcon(state));
            row->setData(0, kStateRole, state);
            row->setFlags(row->flags() | Qt::ItemIsEditable);
            servers_->addTopLevelItem(row);
            if (!remembered.isEmpty() && row->text(0) == remembered)
                reselect = row;
        }
        if (reselect) {
            servers_->setCurrentItem(reselect);
            reselect->setSelected(true);
        }
    }
    SelectServer(reselect);

    const ServiceButtonLook look = ServiceButtonFor(lastState_);
    serviceButton_->setText(look.caption);
    serviceButton_->setEnabled(look.enabled);

    refresh_ = false;
    SortServers(serverSort_);
    UpdateCommands();
}

void CMainDlg::SortServers(int sortState) {
    serverSort_ = sortState;
    if (sortState != 0) {
        const int column = (sortState < 0 ? -sortState : sortState) - 1;
        servers_->sortItems(column, sortState < 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
    ApplySortIndicator(servers_, sortState);
}

void CMainDlg::ApplySortIndicator(QTreeWidget* list, int sortState) {
    QHeaderView* header = list->header();
    header->setSortIndicatorShown(sortState != 0);
    if (sortState != 0)
        header->setSortIndicator((sortState < 0 ? -sortState : sortState) - 1,
                                 sortState < 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CMainDlg::OnHeaderClicked(int logicalIndex) {
    const int column = logicalIndex + 1;
    SortServers(serverSort_ == column ? -column : column);
}

void CMainDlg::UpdateCommands() {
    QTreeWidgetItem* row = SelectedServer();
    const ServerRecord* record = RecordOf(row);
    const bool selected = row != nullptr;
    const bool running = SelectedIsRunning();
    const bool up = record && record->enabled && !record->failed;
    configure_->setEnabled(servers_->selectedItems().size() == 1);
    users_->setEnabled(selected);
    new_->setEnabled(true);
    rename_->setEnabled(selected && !running);
    delete_->setEnabled(selected && !running);
    export_->setEnabled(selected);
    import_->setEnabled(true);
    stop_->setEnabled(selected && up);
    start_->setEnabled(selected && !up);
    const bool connectionRows = !connections_->selectedItems().isEmpty();
    disconnect_->setEnabled(running && connectionRows);
    disable_->setEnabled(running && connectionRows);
    disconnectAll_->setEnabled(running);
}

void CMainDlg::SelectServer(QTreeWidgetItem* row) {
    monitor_->Reset();
    const QString name = row ? row->text(0) : QString();
    const bool running = row && IsServerRunning(app_.store(), ToStoreText(name), lastState_);
    if (!row)
        SetCaption("(No server selected)");
    else if (!app_.remoteComputer().empty())
        SetCaption("Unable to view remote server \"" + name + "\"");
    else if (running)
        SetCaption("Current connections at \"" + name + "\"");
    else
        SetCaption("Server \"" + name + "\" not running - no connections");
    connections_->clear();
    resortConnections_ = true;
    if (!row || !running || !app_.remoteComputer().empty())
        return;
    // The address and port the running instance reported, else the
    // configured ones.
    const QString address = row->text(2).isEmpty() ? row->text(1) : row->text(2);
    const QString port = row->text(4).isEmpty() ? row->text(3) : row->text(4);
    monitor_->Select(ToStoreText(name), ToStoreText(address), ToStoreText(port));
}

QString CMainDlg::connectionCaption() const { return connectionFrame_->title(); }

void CMainDlg::SetCaption(const QString& caption) { connectionFrame_->setTitle(caption); }

void CMainDlg::SendLine(const std::string& line) { monitor_->SendLine(line); }

void CMainDlg::UpdateConnection(const ConnectionRecord& record) {
    ConnectionItem* row = nullptr;
    for (int i = 0; i < connections_->topLevelItemCount() && !row; ++i) {
        auto* item = static_cast<ConnectionItem*>(connections_->topLevelItem(i));
        if (item->record().id == record.id)
            row = item;
    }
    if (!row) {
        row = new ConnectionItem(&connectionSort_);
        connections_->insertTopLevelItem(0, row);
    }
    row->record() = record;
    row->setText(0, FromStoreText(record.user));
    row->setText(1, QString::number(record.id));
    row->setText(2, FromStoreText(record.peer));
    row->setText(3, FromStoreText(record.command));
    row->setText(4, FromStoreText(record.status));
    resortConnections_ = true;
}

void CMainDlg::RemoveConnection(int32_t id) {
    for (int i = 0; i < connections_->topLevelItemCount(); ++i) {
        auto* item = static_cast<ConnectionItem*>(connections_->topLevelItem(i));
        if (item->record().id == id) {
            delete item;
            resortConnections_ = true;
            return;
        }
    }
}

void CMainDlg::SortConnections(int sortState) {
    connectionSort_ = sortState;
    if (sortState != 0) {
        const int column = (sortState < 0 ? -sortState : sortState) - 1;
        connections_->sortItems(column, sortState < 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
    ApplySortIndicator(connections_, sortState);
}

void CMainDlg::OnDisconnectSelected() {
    for (int i = 0; i < connections_->topLevelItemCount(); ++i) {
        auto* item = static_cast<ConnectionItem*>(connections_->topLevelItem(i));
        if (item->isSelected())
            SendLine("SITE ADMN DISC " + std::to_string(item->record().id));
    }
}

void CMainDlg::OnDisconnectAll() {
    for (int i = 0; i < connections_->topLevelItemCount(); ++i)
        SendLine("SITE ADMN DISC " +
                 std::to_string(static_cast<ConnectionItem*>(connections_->topLevelItem(i))->record().id));
}

void CMainDlg::OnDisableSelected() {
    // The names first: the lines may change the list as they are answered.
    std::vector<std::string> names;
    for (int i = 0; i < connections_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = connections_->topLevelItem(i);
        if (item->isSelected() && !item->text(0).isEmpty())
            names.push_back(ToStoreText(item->text(0)));
    }
    for (const std::string& name : names) {
        const std::string account = AccountOfRow(app_.store(), monitor_->server(), name);
        if (account.empty()) {
            prompt_->Tell("Unable to disable user " + FromStoreText(name) +
                              " from here: its name has a blank in it, or another user's name reads the same in "
                              "the list.\nDisable the user in the Users dialog instead.",
                          kTitle, IPrompt::Icon::Warning);
            continue;
        }
        SendLine("SITE ADMN DISA " + account);
    }
}

void CMainDlg::OnServiceButton() {
    serviceButton_->setEnabled(false);
    long error = 0;
    if (lastState_ == kServiceStopped) {
        error = app_.service().Start();
    } else if (lastState_ == kServiceRunning &&
               prompt_->AskYesNo("Are you sure you want to stop the ORVYN Pro service and all servers?", kTitle)) {
        QMessageBox busy(QMessageBox::Information, "Stopping ORVYN Service",
                         "Stopping the ORVYN Service - this may take some time, during which the Control Panel "
                         "will not respond.  Please wait - once this dialog disappears, the service will be "
                         "stopped.",
                         QMessageBox::NoButton, this);
        busy.setModal(false);
        EchoMessage(busy.windowTitle(), busy.text());
        busy.show();
        QApplication::processEvents();
        error = app_.service().Stop();
        busy.hide();
    }
    if (error != 0) {
        prompt_->Tell(ServiceErrorText(error), "Unable to start/stop ORVYN Pro service.", IPrompt::Icon::Warning);
        serviceButton_->setEnabled(true);
    }
    refresh_ = true;
    WatchService();
}

void CMainDlg::OnStartStopServer() {
    QTreeWidgetItem* row = SelectedServer();
    if (!row)
        return;
    const int icon = row->data(0, kStateRole).toInt();
    const bool disable = icon == kStateRunning || icon == kStatePaused;
    CServerRegistry registry(app_.store(), ToStoreText(row->text(0)), nullptr);
    if (!registry.WriteInt(nullptr, "Enabled", disable ? 0 : 1)) {
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        return;
    }
    static_cast<ServerItem*>(row)->record().enabled = !disable;
    row->setText(5, disable ? "Stopped" : "Running");
    app_.service().AskToReread();
    SelectServer(row);
    const int state = disable ? kStateStopped : (lastState_ == kServiceRunning ? kStateRunning : kStatePaused);
    row->setIcon(0, StateIcon(state));
    row->setData(0, kStateRole, state);
    UpdateCommands();
}

void CMainDlg::OnDeleteServer() {
    QTreeWidgetItem* row = SelectedServer();
    if (!row)
        return;
    if (SelectedIsRunning()) {
        prompt_->Tell("Unable to delete a running server:\nStop the server first.", kTitle,
                      IPrompt::Icon::Warning);
        return;
    }
    if (!prompt_->AskOkCancel(kDeleteWarning, kTitle))
        return;
    const std::string key = std::string(kServersKey) + "\\" + ToStoreText(row->text(0));
    if (!app_.store().DeleteTree(key)) {
        prompt_->Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        return;
    }
    delete row;
    refresh_ = true;
}

void CMainDlg::OnConfigureServer() {
    QTreeWidgetItem* row = SelectedServer();
    if (!row)
        return;
    CServerSheet sheet(app_, ToStoreText(row->text(0)), this, prompt_ == ownPrompt_.get() ? nullptr : prompt_);
    sheet.exec();
    refresh_ = true;
}

void CMainDlg::OnRenameServer() {
    // Renaming never begins on a running instance.
    if (!SelectedServer() || SelectedIsRunning())
        return;
    servers_->editItem(SelectedServer(), 0);
}

QString CMainDlg::systemLabel() const { return systemLabel_->text(); }

void CMainDlg::OnConnectButton() {
    CConnectDialog dialog(FromStoreText(app_.remoteComputer()), this);
    connect(&dialog, &CConnectDialog::helpRequested, this, [this, &dialog] { ShowHelp("connect", &dialog); });
    if (dialog.exec() == QDialog::Accepted)
        ConnectTo(dialog.computer());
}

void CMainDlg::ConnectTo(const QString& computer) {
    bool local = computer.isEmpty();
    if (!local) {
        systemLabel_->setText(QString("Monitoring system '%1' (remote computer):").arg(computer));
        std::string why;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        const bool connected = app_.ConnectTo(ToStoreText(computer), why);
        QApplication::restoreOverrideCursor();
        if (!connected) {
            std::fprintf(stderr, "orvyn applet: %s: %s\n", computer.toLocal8Bit().constData(), why.c_str());
            prompt_->Tell(kRemoteFailed, kTitle, IPrompt::Icon::Error);
            prompt_->Tell("Unable to connect to remote system - returning to local.", kTitle,
                          IPrompt::Icon::Information);
            local = true;
        }
    }
    if (local) {
        app_.ManageLocal();
        app_.OpenService();
        systemLabel_->setText(LocalLabel());
    }
    lastState_ = app_.service().QueryState();
    refresh_ = true;
}
void CMainDlg::OnNewServer() { refresh_ |= serverCommands_->NewServer(); }

void CMainDlg::OnExportServer() {
    if (QTreeWidgetItem* row = SelectedServer())
        serverCommands_->Export(row->text(0));
}

void CMainDlg::OnImportServer() { refresh_ |= serverCommands_->Import(); }

void CMainDlg::OnUsers() {
    QTreeWidgetItem* row = SelectedServer();
    if (!row)
        return;
    CUsersDlg dlg(app_, row->text(0), this, prompt_ == ownPrompt_.get() ? nullptr : prompt_);
    dlg.exec();
}

void CMainDlg::ShowMenu(QTreeWidget* list, QMenu* menu, const QPoint& pos, QAction* defaultAction) {
    if (!list->itemAt(pos)) {
        ShowHelp(TopicAt(list->viewport()->mapToGlobal(pos)));
        return;
    }
    UpdateCommands();
    menu->setDefaultAction(defaultAction);
    menu->popup(list->viewport()->mapToGlobal(pos));
}

QString CMainDlg::TopicAt(const QPoint& globalPos) const {
    for (QWidget* w = QApplication::widgetAt(globalPos); w; w = w->parentWidget()) {
        const QVariant topic = w->property(kTopicProperty);
        if (topic.isValid())
            return topic.toString();
        if (w == this)
            break;
    }
    return "main";
}

void CMainDlg::ShowHelp(const QString& topic, QWidget* owner) {
    if (!CHelpWindow::Of(owner ? owner : this).ShowTopic(topic))
        prompt_->Tell("Failed to find information in the help file on " + topic, "HTML Help Error",
                      IPrompt::Icon::Warning);
}

void CMainDlg::RestoreLayout(QTreeWidget* list, const char* key, const std::vector<std::string>& titles,
                             const std::vector<QString>& samples, int& sortState) {
    const StoredLayout stored = LoadLayout(app_.store(), key, titles);
    const QFontMetrics metrics(list->header()->font());
    std::vector<int> widths;
    for (const QString& sample : samples)
        widths.push_back(metrics.horizontalAdvance(sample + ' ') + 12);
    QHeaderView* header = list->header();
    const auto placed = PlaceColumns(stored.edges, widths);
    for (size_t visual = 0; visual < placed.size(); ++visual) {
        const int logical = placed[visual].column;
        header->moveSection(header->visualIndex(logical), static_cast<int>(visual));
        header->resizeSection(logical, placed[visual].width);
    }
    sortState = ParseSortColumn(stored.sortColumn, titles);
    ApplySortIndicator(list, sortState);
}

void CMainDlg::SaveLayout(QTreeWidget* list, const char* key, const std::vector<std::string>& titles,
                          int sortState) {
    QHeaderView* header = list->header();
    std::vector<int> edges;
    for (int i = 0; i < static_cast<int>(titles.size()); ++i) {
        const int size = header->isSectionHidden(i) ? 0 : header->sectionSize(i);
        edges.push_back(size == 0 ? 0 : header->sectionPosition(i) + size);
    }
    applet::SaveLayout(app_.store(), key, titles, edges, sortState);
}

}  // namespace orvyn::applet

// "User Configuration Dialog": the users of one server instance with their
// home, flags and password, and per-folder rights on a tree of the managed
// computer's folders.
//
// The settings of the user shown are saved whenever another user, server or
// domain is chosen, and on OK; Cancel drops only the unsaved changes of the
// user shown. The folder tree starts with "*" (every path no other entry
// covers) and "/" below it; a folder's subfolders are listed when it is first
// expanded, on the folder lister's worker thread, and inserted in batches
// from the dialog's own thread so a folder of any size keeps the dialog
// responsive.
#pragma once

#include <QDialog>
#include <QHash>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "applet/Prompt.h"
#include "applet/users/FolderLister.h"
#include "applet/users/UserRights.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QTreeWidget;
class QTreeWidgetItem;

namespace orvyn::applet {

class COrvynCplApp;

class CUsersDlg : public QDialog {
    Q_OBJECT
public:
    // server: the instance shown first (empty: the first one). prompt null:
    // message boxes over the dialog.
    CUsersDlg(COrvynCplApp& app, const QString& server, QWidget* parent = nullptr, IPrompt* prompt = nullptr);
    ~CUsersDlg() override;

    QListWidget* userList() const { return users_; }
    QTreeWidget* folderTree() const { return tree_; }
    QString currentUser() const { return user_; }
    QString currentServer() const { return server_; }
    // The user command or folder command with this tooltip ("New User...").
    QAction* command(const QString& tooltip) const;

    // Chooses a server, a domain (the system account model) or a user, as
    // the lists do; the user shown is saved first.
    void SelectServer(const QString& server);
    void SelectDomain(const QString& domain);
    void SelectUser(const QString& user);

    // The node of a folder path ("*", "/", "/srv/ftp"), created with the
    // nodes above it when create is set; null when missing.
    QTreeWidgetItem* FolderNode(const QString& path, bool create = false);
    // Selects (and shows) the node of a path, creating it when needed.
    void SelectFolder(const QString& path);
    // The path of a node ("*", "/", "/srv").
    static QString PathOf(const QTreeWidgetItem* node);
    // The node marked as the home directory, or null.
    QTreeWidgetItem* homeNode() const;
    // Folders whose listing has not been inserted completely yet.
    int pendingListings() const { return int(pending_.size()) + requested_; }

    // Add Share... without asking: adds a folder of the managed computer to
    // the tree and selects it. False (and a message) for a relative path.
    bool AddFolder(const QString& path);

public slots:
    void OnNewUser();
    void OnDeleteUser();
    void OnSetPassword();
    void OnDisableUser();
    void OnAddShare();
    void OnSetHome();
    void OnGoHome();
    void OnRevertHome();
    void accept() override;
    // owner: as CMainDlg::ShowHelp.
    void ShowHelp(QWidget* owner = nullptr);

private:
    struct Pending {
        QString path;
        CFolderLister::Names names;
        size_t next = 0;  // names taken so far
        int pos = 0;      // where the merge stands among the parent's children
    };

    void BuildLayout();
    void LoadServer();
    void LoadUsers();
    void LoadUser(const QString& user);
    bool SaveUser();
    void ClearUser();
    void ShowFolderRights();
    void ShowFlags();
    void ShowNode(QTreeWidgetItem* node);
    void SetEntry(QTreeWidgetItem* node, std::optional<int> mask);
    void OnUserChanged(QListWidgetItem* current);
    void OnInheritClicked(bool checked);
    void OnRightClicked();
    void OnNoAccessClicked(bool checked);
    void OnRestrictedClicked();
    void OnRemoteAdminClicked(bool checked);
    void OnExpanded(QTreeWidgetItem* node);
    void OnListed(const QString& path, int error, CFolderLister::Names names);
    void InsertBatch();
    // 1 when the first child is the placeholder of a listing, else 0.
    static int FirstFolder(const QTreeWidgetItem* parent);
    QTreeWidgetItem* NewNode(QTreeWidgetItem* parent, const QString& path, const QString& label);
    void MarkHome(const QString& home);
    void UpdateCommands();
    bool UsesSystemAccounts() const { return systemModel_; }
    bool IsPseudo(const QString& user) const;
    int Effective(const QString& path) const;

    COrvynCplApp& app_;
    std::unique_ptr<IPrompt> ownPrompt_;
    IPrompt* prompt_;
    CFolderLister* lister_;

    QComboBox* servers_ = nullptr;
    QComboBox* domains_ = nullptr;
    QLabel* domainLabel_ = nullptr;
    QListWidget* users_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidgetItem* root_ = nullptr;
    QCheckBox *inherit_, *read_, *list_, *create_, *overwrite_, *noAccess_;
    QCheckBox *restricted_, *remoteAdmin_, *forceEfs_, *xerox_;
    QLabel *restrictedDefault_, *forceEfsDefault_;
    QAction *newUser_, *deleteUser_, *setPassword_, *disableUser_;
    QAction *addShare_, *setHome_, *goHome_, *revertHome_;

    QString server_;
    QString domain_;
    bool systemModel_ = false;
    bool xeroxOption_ = false;
    std::unique_ptr<CUsersKey> key_;
    QString user_;
    UserRecord record_;
    RightsEntries defaultRights_;
    bool defaultRestricted_ = false;
    bool defaultForceEfs_ = false;
    QHash<QString, QTreeWidgetItem*> nodes_;
    QString homePath_;
    std::deque<Pending> pending_;
    int requested_ = 0;
    QTimer batchTimer_;
    bool switching_ = false;
};

}  // namespace orvyn::applet

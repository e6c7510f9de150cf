#include "applet/ServerCommands.h"

#include <optional>
#include <vector>
#include "applet/StoreText.h"

#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include "applet/CplApp.h"
#include "applet/NewServerDlg.h"
#include "applet/Prompt.h"
#include "applet/ServerKeys.h"
#include "applet/ServerList.h"

namespace orvyn::applet {

namespace {

const char* const kTitle = "ORVYN FTP Server";
const char* const kWriteError = "There was an error writing to the registry.\nWhat you tried to do has not occurred.";
const char* const kFilter = "Registry files (*.reg);;All files (*)";

QString FileDialog(QWidget* parent, const QString& title, QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, title, QDir::homePath(), kFilter);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("reg");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

// Whether a file is a saved key, by restoring it into a store of its own in
// a temporary folder: the same checks the real restore makes, without
// touching the managed store. Empty when it is, else the reason.
QString CheckSavedKey(const QString& file) {
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return "cannot create a temporary folder to check it in";
    reg::Store store(ToStoreText(scratch.filePath("check.db")));
    const reg::Status st = store.RestoreKey("Check", ToStoreText(file));
    return st ? QString() : FromStoreText(st.message);
}

}  // namespace

QString DialogFileChooser::SaveFile(QWidget* parent, const QString& title) {
    return FileDialog(parent, title, QFileDialog::AcceptSave);
}

QString DialogFileChooser::OpenFile(QWidget* parent, const QString& title) {
    return FileDialog(parent, title, QFileDialog::AcceptOpen);
}

CServerCommands::CServerCommands(COrvynCplApp& app, IPrompt& prompt, QWidget* parent)
    : QObject(parent), app_(app), prompt_(prompt), parent_(parent), chooser_(std::make_unique<DialogFileChooser>()) {}

CServerCommands::~CServerCommands() = default;

bool CServerCommands::NewServer() {
    CNewServerDlg dlg(app_, prompt_, parent_);
    return dlg.exec() == QDialog::Accepted;
}

bool CServerCommands::Rename(const QString& oldName, const QString& newName) {
    if (newName.isEmpty() || newName == oldName)
        return false;
    const std::string from = ToStoreText(oldName);
    const std::string to = ToStoreText(newName);
    if (!IsServerName(to)) {
        prompt_.Tell("Unable to rename server - a server name cannot contain \"\\\"", kTitle, IPrompt::Icon::Error);
        return false;
    }
    // Another server of that name (names compare without regard to case).
    if (oldName.compare(newName, Qt::CaseInsensitive) != 0 && app_.store().KeyExists(ServerKey(to)).ok()) {
        prompt_.Tell("Unable to rename server - a server with the new name already exists", kTitle,
                     IPrompt::Icon::Error);
        return false;
    }
    if (!RenameServer(app_.store(), from, to)) {
        prompt_.Tell(kWriteError, kTitle, IPrompt::Icon::Warning);
        return false;
    }
    return true;
}

void CServerCommands::Export(const QString& name) {
    const QString file = chooser_->SaveFile(parent_, "Export Server");
    if (file.isEmpty())
        return;
    // The file is replaced only once the whole key is written: a failed
    // export leaves an existing file as it was.
    if (const reg::Status st = app_.store().SaveKey(ServerKey(ToStoreText(name)), ToStoreText(file), true); !st) {
        // The system's reason under the usual sentence: it is not always the
        // disk space.
        prompt_.Tell("Error exporting server - perhaps you ran out of disk space?\n" +
                         FromStoreText(st.message),
                     kTitle, IPrompt::Icon::Warning);
        return;
    }
    prompt_.Tell("Server successfully exported", kTitle, IPrompt::Icon::Information);
}

bool CServerCommands::Import() {
    const QString file = chooser_->OpenFile(parent_, "Import Server");
    if (file.isEmpty())
        return false;
    // A file that is not a saved key is refused before anything is created.
    if (const QString reason = CheckSavedKey(file); !reason.isEmpty()) {
        prompt_.Tell("Unable to import server - the file is not an exported server.\n" + reason, kTitle,
                     IPrompt::Icon::Error);
        return false;
    }
    CNewServerDlg dlg(app_, prompt_, parent_, CNewServerDlg::Purpose::Import, file);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    const bool existing = dlg.existing();
    if (existing && !prompt_.AskYesNo("Do you want to overwrite the existing server of that name?", kTitle))
        return false;
    const std::string key = ServerKey(ToStoreText(dlg.name()));
    // What the service wrote about the exported server's run belongs to that
    // run, not to this server: a server of that name keeps its own, a new
    // one starts without. A running server also keeps its Enabled: the
    // service goes on running it, and a file's Enabled 0 would show it as
    // stopped, to be renamed or deleted from under the service.
    std::vector<const char*> runValues = {"Started", "NumPort", "NumAddress", "Fatal Error"};
    if (existing && IsServerRunning(app_.store(), ToStoreText(dlg.name()), app_.service().QueryState()))
        runValues.push_back("Enabled");
    std::vector<std::optional<reg::Value>> own;
    for (const char* name : runValues) {
        reg::Value v;
        const bool kept = existing && app_.store().QueryValue(key, name, v).ok();
        v.name = name;
        own.push_back(kept ? std::optional(v) : std::nullopt);
    }
    if (const reg::Status st = app_.store().RestoreKey(key, ToStoreText(file)); !st) {
        // The restore changes nothing when it fails; a server made for it
        // goes again.
        if (!existing)
            app_.store().DeleteTree(key);
        prompt_.Tell("Unable to import server.\n" + FromStoreText(st.message), kTitle,
                     IPrompt::Icon::Error);
        return !existing;
    }
    for (size_t i = 0; i < own.size(); ++i) {
        if (own[i])
            app_.store().SetValue(key, *own[i]);
        else
            app_.store().DeleteValue(key, runValues[i]);
    }
    return true;
}

CServerNameDelegate::CServerNameDelegate(std::function<bool(const QString&)> canEdit,
                                         std::function<void(const QString&, const QString&)> rename,
                                         QObject* parent)
    : QStyledItemDelegate(parent), canEdit_(std::move(canEdit)), rename_(std::move(rename)) {}

QWidget* CServerNameDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const {
    if (index.column() != 0 || !canEdit_(index.data().toString()))
        return nullptr;
    auto* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor))
        line->setMaxLength(255);
    return editor;
}

void CServerNameDelegate::setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const {
    auto* line = qobject_cast<QLineEdit*>(editor);
    const QString oldName = index.data().toString();
    if (!line || pending_ || line->text().isEmpty() || line->text() == oldName)
        return;
    pending_ = true;
    QTimer::singleShot(0, const_cast<CServerNameDelegate*>(this), [this, oldName, newName = line->text()] {
        pending_ = false;
        rename_(oldName, newName);
    });
}

}  // namespace orvyn::applet

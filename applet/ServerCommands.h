// The main dialog's commands that create and move whole server instances:
// new, rename (the in-place edit of a row's name), export to a file and
// import from one. Everything goes through the managed computer's store;
// export and import files are files of this computer, whichever computer is
// managed. None of these tells the service: it sees the changes when it next
// reads its configuration.
#pragma once

#include <QObject>
#include <QString>
#include <QStyledItemDelegate>
#include <functional>
#include <memory>

class QWidget;

namespace orvyn::applet {

class COrvynCplApp;
class IPrompt;

// Chooses export and import files; tests substitute it.
class IFileChooser {
public:
    virtual ~IFileChooser() = default;
    // Empty when the administrator cancelled.
    virtual QString SaveFile(QWidget* parent, const QString& title) = 0;
    virtual QString OpenFile(QWidget* parent, const QString& title) = 0;
};

// The standard file dialogs: "Registry files (*.reg)" or all files, the
// extension ".reg" added to a name without one, overwriting confirmed.
class DialogFileChooser : public IFileChooser {
public:
    QString SaveFile(QWidget* parent, const QString& title) override;
    QString OpenFile(QWidget* parent, const QString& title) override;
};

class CServerCommands : public QObject {
    Q_OBJECT
public:
    CServerCommands(COrvynCplApp& app, IPrompt& prompt, QWidget* parent);
    ~CServerCommands() override;

    void setFileChooser(std::unique_ptr<IFileChooser> chooser) { chooser_ = std::move(chooser); }

    // Each returns true when the server list must be rebuilt.
    bool NewServer();
    // The end of an in-place edit; true accepts the new name.
    bool Rename(const QString& oldName, const QString& newName);
    void Export(const QString& name);
    bool Import();

private:
    COrvynCplApp& app_;
    IPrompt& prompt_;
    QWidget* parent_;
    std::unique_ptr<IFileChooser> chooser_;
};

// The in-place editor of the server list's name column. canEdit refuses an
// edit before it opens (a running instance). A changed name is handed to
// rename once the editor has closed (so that its messages cannot reopen or
// re-commit the editor); the row is left as it was, for the list's rebuild
// to show the outcome. Other columns are never edited.
class CServerNameDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    CServerNameDelegate(std::function<bool(const QString&)> canEdit,
                        std::function<void(const QString&, const QString&)> rename, QObject* parent);

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;

private:
    std::function<bool(const QString&)> canEdit_;
    std::function<void(const QString&, const QString&)> rename_;
    mutable bool pending_ = false;
};

}  // namespace orvyn::applet

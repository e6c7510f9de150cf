// The applet's main dialog: the server instances of the managed computer on
// the left, the connections of the selected instance on the right, the
// service button below.
//
// Idle processing (command states, the rebuild of the server list when the
// refresh flag is set) runs from a short timer on the dialog's thread; the
// service state is read every 5 seconds and after each of the dialog's own
// service actions. Column layouts, the width and the split are restored when
// the dialog is built and saved when it is destroyed.
#pragma once

#include <QDialog>
#include <QTimer>
#include <QTreeWidget>
#include <memory>
#include <string>
#include <vector>

#include "applet/Monitor.h"
#include "applet/Prompt.h"
#include "applet/ServerList.h"

class QAction;
class QPushButton;
class QSplitter;
class QToolBar;
class QMenu;
class QGroupBox;
class QLabel;

namespace orvyn::applet {
class CServerCommands;
}

namespace orvyn::applet {

class COrvynCplApp;

class CMainDlg : public QDialog, private IMonitorSink {
    Q_OBJECT
public:
    // prompt null: message boxes over the dialog.
    CMainDlg(COrvynCplApp& app, QWidget* parent = nullptr, IPrompt* prompt = nullptr);
    ~CMainDlg() override;

    // Idle processing: reads nothing from the service; updates the commands
    // and rebuilds the server list when the refresh flag is set.
    void Idle();
    // Reads the service state; a change sets the refresh flag.
    void WatchService();
    void setRefresh() { refresh_ = true; }

    uint32_t lastServiceState() const { return lastState_; }
    int serverSortState() const { return serverSort_; }
    void SortServers(int sortState);

    QTreeWidget* serverList() const { return servers_; }
    QTreeWidget* connectionList() const { return connections_; }
    // The caption of the connections frame (the monitor's state).
    QString connectionCaption() const;
    QString systemLabel() const;
    int monitorState() const { return monitor_->state(); }
    QPushButton* serviceButton() const { return serviceButton_; }
    // The command of the given text ("&Start Server", ...), or null.
    QAction* command(const QString& text) const;
    // New, rename, export and import (tests replace its file chooser).
    CServerCommands& serverCommands() const { return *serverCommands_; }
    // Selects the row of the named instance (none when not found).
    void SelectServerRow(const QString& name);

public slots:
    void OnServiceButton();
    void OnStartStopServer();
    void OnDeleteServer();
    void OnConfigureServer();
    void OnRenameServer();
    void OnNewServer();
    void OnExportServer();
    void OnImportServer();
    // "&Users for Server...": the users editor on the selected server.
    void OnUsers();
    void OnDisconnectSelected();
    void OnDisconnectAll();
    void OnDisableSelected();
    void OnConnectButton();
    // Manages another computer (empty: this one) as "Select Computer" does.
    void ConnectTo(const QString& computer);
    // Opens the help window at a topic; a missing topic is reported.
    // owner: a modal dialog asking; its own help window is used while it is
    // open (the main window's would take no input then).
    void ShowHelp(const QString& topic, QWidget* owner = nullptr);

private:
    void BuildCommands();
    void BuildLayout();
    void RefreshServers();
    void UpdateCommands();
    void SelectServer(QTreeWidgetItem* row);
    void OnHeaderClicked(int logicalIndex);
    void ShowMenu(QTreeWidget* list, QMenu* menu, const QPoint& pos, QAction* defaultAction);
    QTreeWidgetItem* SelectedServer() const;
    const ServerRecord* RecordOf(QTreeWidgetItem* row) const;
    bool SelectedIsRunning() const;
    // The window may not get narrower than the split, the splitter and the
    // connections frame's least width: the servers frame keeps its width.
    void KeepSplitWidth(int split);
    // The window's width besides the servers frame: the splitter's handle,
    // the connections frame's least width and the margins.
    int BesideSplit() const;
    void RestoreLayout(QTreeWidget* list, const char* key, const std::vector<std::string>& titles,
                       const std::vector<QString>& samples, int& sortState);
    void SaveLayout(QTreeWidget* list, const char* key, const std::vector<std::string>& titles, int sortState);
    void ApplySortIndicator(QTreeWidget* list, int sortState);
    void SortConnections(int sortState);

    // IMonitorSink
    void SendLine(const std::string& line) override;
    void SetCaption(const QString& caption) override;
    void UpdateConnection(const ConnectionRecord& record) override;
    void RemoveConnection(int32_t id) override;

    // The topic of the control under the pointer (context help, F1).
    QString TopicAt(const QPoint& globalPos) const;

    COrvynCplApp& app_;
    std::unique_ptr<IPrompt> ownPrompt_;
    IPrompt* prompt_;

    QTreeWidget* servers_ = nullptr;
    QTreeWidget* connections_ = nullptr;
    QGroupBox* serverFrame_ = nullptr;
    QGroupBox* connectionFrame_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QLabel* systemLabel_ = nullptr;
    QPushButton* serviceButton_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    QPushButton* helpButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QToolBar* serverBar_ = nullptr;
    QToolBar* connectionBar_ = nullptr;
    QMenu* serverMenu_ = nullptr;
    QMenu* connectionMenu_ = nullptr;
    std::vector<QAction*> commands_;
    QAction *configure_, *users_, *new_, *rename_, *delete_, *export_, *import_, *stop_, *start_;
    QAction *disconnect_, *disable_, *disconnectAll_;

    uint32_t lastState_ = 0;
    bool refresh_ = true;
    int serverSort_ = 0;
    int connectionSort_ = 0;
    CServerMonitor* monitor_ = nullptr;
    CServerCommands* serverCommands_ = nullptr;
    bool resortConnections_ = false;
    QTimer watchTimer_;
    QTimer idleTimer_;
};

}  // namespace orvyn::applet

// Lists the folders of the managed computer for the folder tree on a worker
// thread of its own, one folder at a time in the order asked, so a folder
// of any size (or another computer reached through a remote shell) never
// holds up the dialog. Results come back as the Listed signal on the
// lister's thread. Destroying the lister waits for the folder being listed
// and drops the rest.
#pragma once

#include <QObject>
#include <QString>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvyn::applet {

class IComputerFiles;

class CFolderLister : public QObject {
    Q_OBJECT
public:
    using Names = std::shared_ptr<const std::vector<std::string>>;

    // files must outlive the lister.
    explicit CFolderLister(IComputerFiles& files, QObject* parent = nullptr);
    ~CFolderLister() override;

    // Queues a folder (an absolute path of the managed computer).
    void Request(const QString& path);

signals:
    // error: 0, or the errno of reading the folder (names is then empty).
    void Listed(const QString& path, int error, orvyn::applet::CFolderLister::Names names);

private:
    void Run();

    IComputerFiles& files_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace orvyn::applet

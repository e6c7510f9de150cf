#include "applet/users/FolderLister.h"
#include "applet/StoreText.h"

#include "applet/computer/Computer.h"

namespace orvyn::applet {

CFolderLister::CFolderLister(IComputerFiles& files, QObject* parent) : QObject(parent), files_(files) {
    qRegisterMetaType<Names>("orvyn::applet::CFolderLister::Names");
}

CFolderLister::~CFolderLister() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void CFolderLister::Request(const QString& path) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(ToStoreText(path));
        if (!worker_.joinable())
            worker_ = std::thread(&CFolderLister::Run, this);
    }
    wake_.notify_one();
}

void CFolderLister::Run() {
    for (;;) {
        std::string path;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            path = std::move(queue_.front());
            queue_.pop_front();
        }
        auto names = std::make_shared<std::vector<std::string>>();
        const int error = files_.ListFolders(path, *names);
        if (error != 0)
            names->clear();
        // Runs on the lister's thread; never after the destructor, which
        // waits for this loop to end before the object goes.
        QMetaObject::invokeMethod(
            this, [this, folder = FromStoreText(path), error, names = Names(std::move(names))] {
                emit Listed(folder, error, names);
            },
            Qt::QueuedConnection);
    }
}

}  // namespace orvyn::applet

#include "applet/Prompt.h"

#include "applet/MessageBox.h"
#include "platform/service/ServiceStatus.h"

namespace orvyn::applet {

void MessageBoxPrompt::Tell(const QString& text, const QString& title, Icon icon) {
    ShowMessage(parent_,
                icon == Icon::Error     ? QMessageBox::Critical
                : icon == Icon::Warning ? QMessageBox::Warning
                                        : QMessageBox::Information,
                title, text);
}

bool MessageBoxPrompt::AskYesNo(const QString& text, const QString& title) {
    return ShowMessage(parent_, QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

bool MessageBoxPrompt::AskOkCancel(const QString& text, const QString& title) {
    return ShowMessage(parent_, QMessageBox::Warning, title, text, QMessageBox::Ok | QMessageBox::Cancel) ==
           QMessageBox::Ok;
}

QString ServiceErrorText(long error) {
    using namespace orvyn::service;
    switch (error) {
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_SERVICE_REQUEST_TIMEOUT:
        return "The service did not respond to the start or control request in a timely fashion.";
    case ERROR_SERVICE_ALREADY_RUNNING: return "An instance of the service is already running.";
    case ERROR_SERVICE_DOES_NOT_EXIST: return "The specified service does not exist as an installed service.";
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: return "The service cannot accept control messages at this time.";
    case ERROR_SERVICE_NOT_ACTIVE: return "The service has not been started.";
    case ERROR_PROCESS_ABORTED: return "The process terminated unexpectedly.";
    default: return QString("Error %1.").arg(error);
    }
}

}  // namespace orvyn::applet

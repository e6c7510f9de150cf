// "Select Computer": this computer or another one, named as the remote shell
// reaches it (a host name, or user@host).
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;
class QRadioButton;

namespace orvyn::applet {

class CConnectDialog : public QDialog {
    Q_OBJECT
public:
    // current: the computer managed now, empty for this one.
    explicit CConnectDialog(const QString& current, QWidget* parent = nullptr);

    // After OK: the computer chosen, empty for this one.
    QString computer() const;

signals:
    void helpRequested();

private:
    void UpdateControls();

    QRadioButton* local_;
    QRadioButton* another_;
    QLineEdit* name_;
    QPushButton* okButton_ = nullptr;
};

}  // namespace orvyn::applet

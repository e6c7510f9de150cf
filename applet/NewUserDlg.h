// "Create New User": asks for the name of a user to add to an instance.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace orvyn::applet {

class CNewUserDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxName = 50;

    explicit CNewUserDlg(QWidget* parent = nullptr);

    // The name entered, without surrounding spaces (valid after OK).
    QString name() const;

signals:
    void helpRequested();

private:
    QLineEdit* name_;
    QPushButton* ok_;
};

}  // namespace orvyn::applet

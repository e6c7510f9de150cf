// "Set user password": a password typed twice. OK is enabled only while both
// fields agree; the fields are wiped when the dialog goes.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace orvyn::applet {

class CSetPassDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxPassword = 32;

    // caption, when not empty, replaces the title.
    explicit CSetPassDlg(QWidget* parent = nullptr, const QString& caption = {});
    ~CSetPassDlg() override;

    // The password entered (valid after OK).
    QString password() const;

private:
    void UpdateOk();

    QLineEdit* enter_;
    QLineEdit* verify_;
    QPushButton* ok_;
};

}  // namespace orvyn::applet

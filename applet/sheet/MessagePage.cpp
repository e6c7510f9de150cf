#include <QCheckBox>
#include "applet/StoreText.h"
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

#include "applet/sheet/Pages.h"
#include "platform/sound/Sound.h"

namespace orvyn::applet {

CMessageDlg::CMessageDlg(QWidget* parent, bool greeting, const MessageAction& action, bool local)
    : QDialog(parent), original_(action.text), local_(local) {
    setWindowTitle(greeting ? "Greeting Message Dialog" : "Farewell Message Dialog");
    text_ = new QPlainTextEdit(this);
    text_->setObjectName("MessageText");
    text_->setPlainText(action.text);
    play_ = new QCheckBox(greeting ? "Play Sound on Login:" : "Play Sound on Logout:", this);
    play_->setObjectName("PlaySound");
    play_->setChecked(action.playSound);
    file_ = new QLineEdit(action.soundFile, this);
    file_->setObjectName("SoundFile");
    browse_ = new QPushButton("&Browse", this);
    default_ = new QPushButton("&Default Sound", this);
    test_ = new QPushButton("&Test Sound", this);
    for (QPushButton* b : {browse_, default_, test_})
        b->setAutoDefault(false);

    auto* sound = new QHBoxLayout;
    sound->addWidget(play_);
    sound->addWidget(file_, 1);
    auto* soundButtons = new QHBoxLayout;
    soundButtons->addStretch();
    soundButtons->addWidget(browse_);
    soundButtons->addWidget(default_);
    soundButtons->addWidget(test_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_, 1);
    layout->addLayout(sound);
    layout->addLayout(soundButtons);
    layout->addWidget(buttons);
    resize(460, 300);

    connect(file_, &QLineEdit::textChanged, this, &CMessageDlg::UpdateControls);
    connect(default_, &QPushButton::clicked, file_, &QLineEdit::clear);
    connect(browse_, &QPushButton::clicked, this, [this] {
        const QString file =
            ChooseFile(this, false, "WAVe Sound Files (*.wav);;All Files (*)", "wav", file_->text());
        if (!file.isEmpty())
            file_->setText(file);
    });
    // Only a named file of this computer; never a built-in sound.
    connect(test_, &QPushButton::clicked, this, [this] { sound::PlaySoundAsync(ToStoreText(file_->text()), nullptr); });
    UpdateControls();
}

void CMessageDlg::UpdateControls() {
    browse_->setEnabled(local_);
    test_->setEnabled(local_ && !file_->text().trimmed().isEmpty());
}

MessageAction CMessageDlg::action() const {
    // The editor shows some characters as others (a no-break space as a
    // space, a line separator or a lone CR as a line end): a text not
    // edited goes back as it came. An edited one keeps what the editor holds,
    // with the line ends it shows (paragraph ends, and Shift+Return's line
    // separators) as LF.
    QString text = original_;
    if (text_->document()->isModified()) {
        text = text_->document()->toRawText();
        text.replace(QChar::ParagraphSeparator, QChar('\n'));
        text.replace(QChar::LineSeparator, QChar('\n'));
    }
    return {text, play_->isChecked(), file_->text().trimmed()};
}

CMessagePage::CMessagePage(SheetContext& context) : CCtxPage(context, "Messages", "Messages", "sheet-messages") {
    auto frame = [this](const char* title, const char* button, QLabel*& summary, bool greeting) {
        auto* box = new QGroupBox(title, this);
        summary = new QLabel(box);
        summary->setObjectName(greeting ? "GreetingSummary" : "FarewellSummary");
        summary->setWordWrap(true);
        summary->setMinimumHeight(2 * summary->fontMetrics().height() + 4);
        auto* edit = new QPushButton(button, box);
        edit->setObjectName(greeting ? "ConfigureGreeting" : "ConfigureFarewell");
        connect(edit, &QPushButton::clicked, this, [this, greeting] { Edit(greeting); });
        auto* row = new QHBoxLayout(box);
        row->addWidget(summary, 1);
        row->addWidget(edit, 0, Qt::AlignTop);
        return box;
    };
    auto* greet = frame("Greeting Action", "Configure &Greeting...", greetSummary_, true);
    auto* bye = frame("Farewell Action", "Configure &Farewell...", byeSummary_, false);
    messageFtp_ = new QCheckBox("Display MESSAGE.FTP file on each directory change", this);
    messageFtp_->setObjectName("MESSAGE.FTP");
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(greet);
    layout->addWidget(bye);
    layout->addWidget(messageFtp_);
    layout->addStretch();
}

QString CMessagePage::Summary(bool greeting, const MessageAction& a) {
    QString s;
    if (greeting)
        s = a.text.isEmpty() ? "Display no greeting message.\n" : "Display greeting message.\n";
    else
        s = a.text.isEmpty() ? "Display no farewell message.\n" : "Display farewell message.\n";
    if (!a.playSound)
        return s + "Play no sound.";
    if (a.soundFile.isEmpty())
        return s + "Play sound in resource of ORVYNPro Executable.";
    return s + "Play sound in \"" + a.soundFile + "\".";
}

void CMessagePage::Read() {
    // The service plays a sound only when its flag is exactly 1.
    greeting_ = {Text("Greet", ""), Int("PlayHelloSound", 0) == 1, Text("HelloSound", "")};
    farewell_ = {Text("Bye", ""), Int("PlayGoodbyeSound", 0) == 1, Text("GoodbyeSound", "")};
    messageFtp_->setChecked(Flag("MESSAGE.FTP", false));
    UpdateSummaries();
}

void CMessagePage::UpdateSummaries() {
    greetSummary_->setText(Summary(true, greeting_));
    byeSummary_->setText(Summary(false, farewell_));
}

void CMessagePage::Edit(bool greeting) {
    CMessageDlg dlg(this, greeting, greeting ? greeting_ : farewell_, context().local);
    if (dlg.exec() == QDialog::Accepted)
        SetAction(greeting, dlg.action());
}

void CMessagePage::SetAction(bool greeting, const MessageAction& action) {
    (greeting ? greeting_ : farewell_) = action;
    UpdateSummaries();
    setModified();
}

bool CMessagePage::Apply() {
    // The same text as the General and Logging pages.
    static const char* const kWriteFailed = "Unable to write to the registry";
    if (!BeginWrite(kWriteFailed))
        return true;
    Write();
    EndWrite(kWriteFailed);
    return true;
}

void CMessagePage::Write() {
    PutText("Greet", greeting_.text);
    PutInt("PlayHelloSound", greeting_.playSound ? 1 : 0);
    PutText("HelloSound", greeting_.soundFile);
    PutText("Bye", farewell_.text);
    PutInt("PlayGoodbyeSound", farewell_.playSound ? 1 : 0);
    PutText("GoodbyeSound", farewell_.soundFile);
    PutCheck("MESSAGE.FTP", messageFtp_);
}

}  // namespace orvyn::applet

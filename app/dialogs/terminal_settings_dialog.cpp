#include "app/dialogs/terminal_settings_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "app/dialogs/dialog_layout.h"
#include "app/dialogs/preferences.h"

namespace corvid1 {
namespace {

// The box is read as at most this many characters.
constexpr int kReadLength = 7;

class TerminalSettingsDialog : public QDialog {
  public:
    TerminalSettingsDialog(QWidget* parent, int currentLines, std::function<void(int)> applyLines);
    void accept() override;

  private:
    QRadioButton* vt52_;
    QRadioButton* vt100_;
    QLineEdit* lines_;
    QComboBox* charset_;
    QCheckBox* colours_;
    QCheckBox* fitColumns_;
    std::function<void(int)> applyLines_;
};

TerminalSettingsDialog::TerminalSettingsDialog(QWidget* parent, int currentLines,
                                               std::function<void(int)> applyLines)
    : QDialog(parent), applyLines_(std::move(applyLines)) {
    setObjectName(QStringLiteral("terminalSettingsDialog"));
    setWindowTitle(QStringLiteral("Terminal Settings"));
    setAttribute(Qt::WA_DeleteOnClose);

    vt52_ = new QRadioButton(QStringLiteral("&VT-52"), this);
    vt52_->setObjectName(QStringLiteral("vt52"));
    vt100_ = new QRadioButton(QStringLiteral("V&T-100"), this);
    vt100_->setObjectName(QStringLiteral("vt100"));
    auto* group = new QButtonGroup(this);
    group->addButton(vt52_);
    group->addButton(vt100_);
    (vt52Mode == 0 ? vt100_ : vt52_)->setChecked(true);

    lines_ = new QLineEdit(QString::number(currentLines), this);
    lines_->setObjectName(QStringLiteral("scrollback"));
    lines_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), lines_));

    auto* emulation = new QHBoxLayout;
    emulation->addWidget(vt52_);
    emulation->addWidget(vt100_);
    emulation->addStretch();

    auto* form = new QFormLayout;
    form->addRow(new QLabel(QStringLiteral("Emulation:"), this), emulation);
    auto* linesLabel = new QLabel(QStringLiteral("&Scrollback Buffer:"), this);
    linesLabel->setBuddy(lines_);
    form->addRow(linesLabel, lines_);

    charset_ = new QComboBox(this);
    charset_->setObjectName(QStringLiteral("remoteCharset"));
    charset_->addItems(
        {QStringLiteral("Windows-1252"), QStringLiteral("ISO 8859-1"), QStringLiteral("UTF-8")});
    charset_->setCurrentIndex(remoteCharsetChoice);
    auto* charsetLabel = new QLabel(QStringLiteral("&Remote Character Set:"), this);
    charsetLabel->setBuddy(charset_);
    form->addRow(charsetLabel, charset_);
    colours_ = new QCheckBox(QStringLiteral("Show &Colours"), this);
    colours_->setObjectName(QStringLiteral("showColours"));
    colours_->setChecked(showColours);
    form->addRow(colours_);
    fitColumns_ = new QCheckBox(QStringLiteral("&Resize Window for 132 Columns"), this);
    fitColumns_->setObjectName(QStringLiteral("fitColumns"));
    fitColumns_->setChecked(fitWindowToColumns);
    form->addRow(fitColumns_);

    layOutWithOkCancel(this, form);
}

void TerminalSettingsDialog::accept() {
    const int lines = scrollbackFromText(lines_->text());
    vt52Mode = vt100_->isChecked() ? 0 : 1;
    if (applyLines_) applyLines_(lines);
    saveTerminalSettings(vt52Mode, lines);
    remoteCharsetChoice = charset_->currentIndex();
    showColours = colours_->isChecked();
    fitWindowToColumns = fitColumns_->isChecked();
    saveDisplaySettings();
    if (parentWidget() != nullptr) parentWidget()->update();
    QDialog::accept();
}

}  // namespace

QDialog* openTerminalSettingsDialog(QWidget* parent, int currentLines,
                                    std::function<void(int lines)> applyLines) {
    auto* dialog = new TerminalSettingsDialog(parent, currentLines, std::move(applyLines));
    dialog->show();
    return dialog;
}

int scrollbackFromText(const QString& text) {
    const QString head = text.left(kReadLength);
    int value = 0;
    for (QChar ch : head) {
        if (ch < QLatin1Char('0') || ch > QLatin1Char('9')) break;
        value = value * 10 + (ch.unicode() - '0');
    }
    return std::clamp(value, 0, kMaxScrollbackLines);
}

}  // namespace corvid1

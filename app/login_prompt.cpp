#include "app/login_prompt.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>

#include "app/dialogs/code_page.h"
#include "app/screen_bridge.h"
#include "crypto/wipe.h"

namespace corvid1 {
namespace {

// The one login dialog that may be open, so a disconnect can close it.
QPointer<QInputDialog> openDialog;

}  // namespace

bool WindowLoginPrompt::ask(const std::shared_ptr<LoginQuestion>& question, std::string& out) {
    // A dropped message (no window) leaves the question unanswered.
    ScreenBridge::instance().sendMessage(LoginQuestionMessage,
                                         reinterpret_cast<std::intptr_t>(&question), serial_);
    std::lock_guard<std::mutex> hold(question->lock);
    question->closed = true;
    if (!question->given) return false;
    out.swap(question->answer);
    return true;
}

bool WindowLoginPrompt::passphrase(const std::string& keyFile, const std::string& comment,
                                   int attempt, std::string& out) {
    auto question = std::make_shared<LoginQuestion>();
    question->passphrase = true;
    question->title = "Key passphrase";
    question->text = (attempt > 1 ? "Wrong passphrase. " : "") + std::string("Passphrase for '") +
                     (comment.empty() ? keyFile : comment) + "':";
    return ask(question, out);
}

bool WindowLoginPrompt::challengeResponse(LoginMethod method, const std::string& challenge,
                                          std::string& out) {
    auto question = std::make_shared<LoginQuestion>();
    question->title = method == LoginMethod::Tis ? "TIS challenge" : "CryptoCard challenge";
    question->text = challenge;
    return ask(question, out);
}

void answerLoginQuestion(QWidget* parent, std::intptr_t first) {
    if (first == 0 || openDialog) return;
    // Our own reference: the sender may be released (window closed) before the user answers.
    const std::shared_ptr<LoginQuestion> asked =
        *reinterpret_cast<const std::shared_ptr<LoginQuestion>*>(first);
    QPointer<QInputDialog> dialog = new QInputDialog(parent);
    openDialog = dialog;
    dialog->setObjectName(asked->passphrase ? QStringLiteral("passphraseDialog")
                                            : QStringLiteral("challengeDialog"));
    dialog->setWindowTitle(QString::fromStdString(asked->title));
    // A passphrase is the user's own text; a challenge and its response travel in the 8-bit
    // code page of the wire.
    dialog->setLabelText(asked->passphrase ? QString::fromStdString(asked->text)
                                           : fromCodePage(asked->text.c_str()));
    dialog->setInputMode(QInputDialog::TextInput);
    dialog->setTextEchoMode(QLineEdit::Password);
    const int result = dialog->exec();
    if (!dialog) return;  // the window, and the dialog with it, is gone
    QString typed = dialog->textValue();
    // setTextValue (unlike clear) also drops the field's undo history, which holds the text.
    dialog->setTextValue(QString());
    delete dialog;
    if (result == QDialog::Accepted) {
        std::string answer;
        if (asked->passphrase) {
            QByteArray bytes = typed.toUtf8();
            answer.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            secureWipe(bytes.data(), static_cast<std::size_t>(bytes.size()));
        } else {
            std::string buffer(static_cast<std::size_t>(typed.size()) * 2 + 1, '\0');
            toCodePage(typed, buffer.data(), buffer.size());
            answer.assign(buffer.c_str());
            secureWipe(buffer.data(), buffer.size());
        }
        std::lock_guard<std::mutex> hold(asked->lock);
        if (!asked->closed) {
            asked->answer.swap(answer);
            asked->given = true;
        }
        secureWipe(answer.data(), answer.size());
    }
    wipeString(typed);
}

void cancelLoginQuestion() {
    if (openDialog) openDialog->reject();
}

}  // namespace corvid1

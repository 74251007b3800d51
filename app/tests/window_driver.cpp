#include "window_driver.h"

#include <QtTest>
#include <QtWidgets>

#include "app/app_state.h"
#include "app/main_window.h"
#include "app/screen_bridge.h"
#include "terminal/terminal_screen.h"

namespace corvid1 {

bool TestServer::start(const QString& program, const QStringList& arguments,
                       const QStringList& environment) {
    process_ = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : environment)
        env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    process_->setProcessEnvironment(env);
    process_->setStandardErrorFile(QProcess::nullDevice());
    process_->start(program, arguments);
    QElapsedTimer clock;
    clock.start();
    QByteArray line;
    while (clock.elapsed() < 10000 && !line.contains('\n')) {
        process_->waitForReadyRead(200);
        line += process_->readAllStandardOutput();
    }
    port_ = line.startsWith("PORT ") ? line.mid(5).trimmed().toInt() : 0;
    return port_ > 0;
}

TestServer::~TestServer() {
    if (!process_ || process_->state() == QProcess::NotRunning) return;
    process_->terminate();
    if (!process_->waitForFinished(3000)) process_->kill();
    process_->waitForFinished(1000);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(2);
    }
    return true;
}

void answerConnectDialogSoon(const QString& host, int port, const QString& user,
                             const QString& password, bool accept, const QString& timeout) {
    // Only the pending timer holds the attempt, so it goes once it has done its work.
    auto attempt = std::make_shared<std::function<void()>>();
    *attempt = [=, self = std::weak_ptr(attempt)]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal->objectName() != QLatin1String("connectDialog")) {
            if (auto again = self.lock()) QTimer::singleShot(20, [again] { (*again)(); });
            return;
        }
        modal->findChild<QComboBox*>("server")->setEditText(host);
        const QString values[] = {QString::number(port), user, password, timeout};
        const char* names[] = {"port", "user", "password", "timeout"};
        for (int i = 0; i < 4; ++i)
            if (!values[i].isEmpty() || i < 3)
                modal->findChild<QLineEdit*>(names[i])->setText(values[i]);
        modal->findChild<QDialogButtonBox*>("buttonBox")
            ->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
            ->click();
    };
    QTimer::singleShot(20, [attempt] { (*attempt)(); });
}

DialogWatch::DialogWatch() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) return;
        if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            ++boxes;
            boxTitle = box->windowTitle();
            boxText = box->text();
            return box->accept();
        }
        if (busy_) return;
        // In a timer event of its own, so this one keeps accepting boxes in the handler's loops.
        busy_ = true;
        QTimer::singleShot(0, &timer_, [this, dialog = QPointer<QDialog>(dialog)] {
            if (dialog && dialog->isVisible() && onDialog) onDialog(dialog);
            if (dialog && dialog->isVisible() && dialog->objectName().endsWith("HostKeyDialog")) {
                ++unplanned;
                dialog->reject();
            }
            busy_ = false;
        });
    });
    timer_.start(20);
}

bool waitWhileConnected(const std::function<bool()>& done, int timeoutMs) {
    if (waitUntil([&] { return done() || !appState().connected; }, timeoutMs) && done())
        return true;
    const TerminalScreen& screen = *appState().screen;
    int last = 0;
    {
        ScreenBridge::Access access(ScreenBridge::instance());
        last = screen.cursorLine;
    }
    for (int line = std::max(1, last - 8); line <= last; ++line)
        qWarning("screen: %s", screenLine(screen, line).c_str());
    return false;
}

std::string screenLine(const TerminalScreen& screen, int line) {
    ScreenBridge::Access access(ScreenBridge::instance());
    const Cell* cells = screen.lineCharacters(line);
    const std::uint32_t* attributes = screen.lineAttributes(line);
    std::string text;
    for (int c = 0; c < screen.columns; ++c) {
        if (cells[c] == kWideTail) continue;
        const char32_t shown = displayedCharacter(cells[c], attributes[c]);
        appendUtf8(text, shown == 0 ? U' ' : shown);
    }
    return text.erase(text.find_last_not_of(' ') + 1);
}

bool screenContains(const TerminalScreen& screen, const std::string& text, bool wholeBuffer) {
    int first = 0, last = 0;
    {
        ScreenBridge::Access access(ScreenBridge::instance());
        first = wholeBuffer ? 1 : screen.liveTop;
        last = wholeBuffer ? screen.lastLine : screen.liveBottom;
    }
    for (int line = first; line <= last; ++line)
        if (screenLine(screen, line).find(text) != std::string::npos) return true;
    return false;
}

void typeText(MainWindow& window, const QString& text) {
    for (const QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, ch == '\r' ? Qt::Key_Return : 0, Qt::NoModifier, ch);
        QApplication::sendEvent(window.view(), &press);
    }
}

QString testServerPath() {
    const QString given = qEnvironmentVariable("CORVID1_TEST_SERVER");
    return !given.isEmpty() ? given
                            : QCoreApplication::applicationDirPath() +
                                  "/../../tools/ssh1_test_server/corvid1-test-server";
}

}  // namespace corvid1

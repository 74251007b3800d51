#include "app/dialogs/connect_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QUrl>
#include <QValidator>
#include <algorithm>

#include "app/dialogs/code_page.h"
#include "app/dialogs/dialog_layout.h"
#include "app/dialogs/settings_store.h"

namespace corvid1 {
namespace {

constexpr char kUsernameValue[] = "CEUsername";
constexpr char kServerPortValue[] = "CEServerPort";
constexpr char kServerCountValue[] = "CENumservers";
constexpr char kServerValuePrefix[] = "CEServer";
constexpr char kKeyFileGroup[] = "CEKeyFile/";
constexpr char kLoginMethodsValue[] = "CELoginMethods";
constexpr int kMaxKeyFileLength = 4096;
// A day: anything longer is no limit in practice, which 0 already says.
constexpr int kMaxSeconds = 86400;

// The fields that hold a number of seconds, each remembered under its value name.
struct SecondsField {
    const char* name;
    const char* label;
    const char* valueName;
    int ConnectValues::*member;
    const char* toolTip;
};
const SecondsField kSecondsFields[] = {
    {"timeout", "&Timeout (s):", "CEConnectTimeout", &ConnectValues::timeoutSeconds,
     "Seconds the connection and the login may take before they are given up (0: no limit)"},
    {"keepalive", "Keepali&ve (s):", "CEKeepAlive", &ConnectValues::keepaliveSeconds,
     "Seconds without traffic after which a keepalive packet goes out (0: never)"},
};
constexpr int kSecondsFieldCount = sizeof kSecondsFields / sizeof kSecondsFields[0];

// Every stored string is read into 79 characters; a longer one counts as missing.
constexpr int kMaxStoredLength = 79;
constexpr int kMaxServerLength = 79;
constexpr int kMaxPortLength = 5;
constexpr int kMaxUserLength = 19;
constexpr int kMaxPasswordLength = 19;
// A damaged count must not keep the dialog reading for minutes: nobody keeps more servers.
constexpr int kMaxServerEntries = 4096;

QByteArray serverValueName(int n) {
    return QByteArray(kServerValuePrefix) + QByteArray::number(n);
}

// Accepts only text the 8-bit wire can carry, so a name or password is never sent with
// characters silently replaced.
class CodePageValidator : public QValidator {
  public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        for (QChar ch : input) {
            if (!inCodePage(ch)) return Invalid;
        }
        return Acceptable;
    }
};

// The list's position for `text`: after every entry that sorts before it or equal to it
// without regard to case, so the list stays in alphabetical order.
int sortedPosition(const QComboBox* servers, const QString& text) {
    int index = 0;
    while (index < servers->count() &&
           QString::compare(servers->itemText(index), text, Qt::CaseInsensitive) <= 0) {
        ++index;
    }
    return index;
}

void addSorted(QComboBox* servers, const QString& text) {
    servers->insertItem(sortedPosition(servers, text), text);
}

int findExact(const QComboBox* servers, const QString& text) {
    for (int i = 0; i < servers->count(); ++i) {
        if (QString::compare(servers->itemText(i), text, Qt::CaseInsensitive) == 0) return i;
    }
    return -1;
}

// Shows entry `index`, or an empty field when there is none at that index.
void selectEntry(QComboBox* servers, int index) {
    if (index >= 0 && index < servers->count()) {
        servers->setCurrentIndex(index);
        servers->setEditText(servers->itemText(index));
    } else {
        servers->setCurrentIndex(-1);
        servers->setEditText(QString());
    }
}

QLineEdit* makeField(QWidget* parent, const char* name, int maxLength) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    field->setMaxLength(maxLength);
    return field;
}

class ConnectDialog : public QDialog {
  public:
    ConnectDialog(QWidget* parent, const ConnectValues& values, const QStringList& defaults);
    ~ConnectDialog() override { clearPassword(); }

    void accept() override;
    void reject() override;

    void readInto(ConnectValues& values);
    void clearPassword();
    // The port and user name last used with `server`, when there are any.
    void fillForServer(const QString& server);
    // A field's seconds; an empty field counts as the default, a huge one as the limit.
    int seconds(int field) const {
        const QString text = seconds_[field]->text();
        if (text.isEmpty()) return ConnectValues{}.*kSecondsFields[field].member;
        return std::min(text.toInt(), kMaxSeconds);
    }

  private:
    void fillFromSettings(const ConnectValues& values, const QStringList& defaults);
    void deleteEntry();

    QComboBox* servers_;
    QLineEdit* port_;
    QLineEdit* user_;
    QLineEdit* password_;
    QLineEdit* seconds_[kSecondsFieldCount];
    QLineEdit* keyFile_;
    QCheckBox* rsaLogin_;
    QCheckBox* challengeLogin_;
    QCheckBox* passwordLogin_;
};

// The value that remembers the key file of a server: the name in lower case, percent-encoded
// so that no character of it can act as a settings group separator.
QByteArray keyFileValueName(const QString& server) {
    return QByteArray(kKeyFileGroup) + QUrl::toPercentEncoding(server.toLower());
}

QString storedKeyFile(const QString& server) {
    const QSettings key = openSettingsKey();
    QString path;
    if (server.isEmpty() ||
        !readString(key, keyFileValueName(server).constData(), kMaxKeyFileLength, path))
        return {};
    return path;
}

// Each server's own values sit in a group of their own, beside the design's values, which keep
// their meaning (the last port and user name, whatever the server).
constexpr char kServerGroup[] = "CEPerServer/";

QByteArray serverValueName(const QString& server, const char* value) {
    return QByteArray(kServerGroup) + QUrl::toPercentEncoding(server.toLower()) + "/" + value;
}

ConnectDialog::ConnectDialog(QWidget* parent, const ConnectValues& values,
                             const QStringList& defaults)
    : QDialog(parent) {
    setObjectName(QStringLiteral("connectDialog"));
    setWindowTitle(QStringLiteral("Connect"));
    auto* codePage = new CodePageValidator(this);

    servers_ = new QComboBox(this);
    servers_->setObjectName(QStringLiteral("server"));
    servers_->setEditable(true);
    // The list is ours to order and to extend; Return belongs to OK, and completion would
    // change the letter case the user typed.
    servers_->setInsertPolicy(QComboBox::NoInsert);
    servers_->setCompleter(nullptr);
    servers_->lineEdit()->setMaxLength(kMaxServerLength);
    servers_->lineEdit()->setValidator(codePage);
    servers_->setMinimumContentsLength(24);
    servers_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

    auto* deleteButton = new QPushButton(QStringLiteral("&Delete"), this);
    deleteButton->setObjectName(QStringLiteral("deleteButton"));
    deleteButton->setAutoDefault(false);
    connect(deleteButton, &QPushButton::clicked, this, [this] { deleteEntry(); });

    port_ = makeField(this, "port", kMaxPortLength);
    port_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,5}")), port_));
    user_ = makeField(this, "user", kMaxUserLength);
    user_->setValidator(codePage);
    password_ = makeField(this, "password", kMaxPasswordLength);
    password_->setValidator(codePage);
    password_->setEchoMode(QLineEdit::Password);
    for (int i = 0; i < kSecondsFieldCount; ++i) {
        QLineEdit* field = makeField(this, kSecondsFields[i].name, 5);
        field->setValidator(new QRegularExpressionValidator(
            QRegularExpression(QStringLiteral("[0-9]{0,5}")), field));
        field->setToolTip(QLatin1String(kSecondsFields[i].toolTip));
        seconds_[i] = field;
    }

    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(servers_, 1);
    serverRow->addWidget(deleteButton);

    auto* form = new QFormLayout;
    auto addRow = [&](const char* label, QWidget* field, QLayout* row = nullptr) {
        auto* text = new QLabel(QLatin1String(label), this);
        text->setBuddy(field);
        if (row) {
            form->addRow(text, row);
        } else {
            form->addRow(text, field);
        }
    };
    addRow("&Server:", servers_, serverRow);
    addRow("&Port:", port_);
    addRow("&Username:", user_);
    addRow("&Password:", password_);
    for (int i = 0; i < kSecondsFieldCount; ++i) addRow(kSecondsFields[i].label, seconds_[i]);

    keyFile_ = makeField(this, "keyFile", kMaxKeyFileLength);
    keyFile_->setToolTip(QStringLiteral(
        "An SSH-1 private key file (puttygen -t rsa1) to log in with before the password"));
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    browse->setObjectName(QStringLiteral("keyFileBrowse"));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString start =
            keyFile_->text().isEmpty() ? QDir::homePath() + "/.ssh" : keyFile_->text();
        const QString chosen =
            QFileDialog::getOpenFileName(this, QStringLiteral("Key file"), start);
        if (!chosen.isEmpty()) keyFile_->setText(chosen);
    });
    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(keyFile_, 1);
    keyRow->addWidget(browse);
    addRow("&Key file:", keyFile_, keyRow);
    auto makeBox = [this](const char* name, const char* label) {
        auto* box = new QCheckBox(QLatin1String(label), this);
        box->setObjectName(QLatin1String(name));
        return box;
    };
    rsaLogin_ = makeBox("rsaLogin", "&RSA key");
    challengeLogin_ = makeBox("challengeLogin", "C&hallenge");
    passwordLogin_ = makeBox("passwordLogin", "Pass&word");
    auto* methodRow = new QHBoxLayout;
    for (QCheckBox* box : {rsaLogin_, challengeLogin_, passwordLogin_}) methodRow->addWidget(box);
    form->addRow(new QLabel(QStringLiteral("Login:"), this), methodRow);

    layOutWithOkCancel(this, form);

    fillFromSettings(values, defaults);
    servers_->setFocus();
}

void ConnectDialog::fillFromSettings(const ConnectValues& values, const QStringList& defaults) {
    const int loaded = loadServerList(servers_);

    QSettings key = openSettingsKey();
    QString user;
    if (!readString(key, kUsernameValue, kMaxStoredLength, user)) {
        user = fromCodePage(values.user);
        writeValue(key, kUsernameValue, user);
    }
    QString storedPort;
    if (!readString(key, kServerPortValue, kMaxStoredLength, storedPort)) {
        writeValue(key, kServerPortValue, fromCodePage(values.port));
    }

    if (loaded == 0) {
        for (const QString& server : defaults) addSorted(servers_, server);
    }
    selectEntry(servers_, 0);
    user_->setText(user);
    // The port shown is the one last confirmed in this run, not the stored one.
    port_->setText(fromCodePage(values.port));
    for (int i = 0; i < kSecondsFieldCount; ++i) {
        int stored = values.*kSecondsFields[i].member;
        if (!readNumber(key, kSecondsFields[i].valueName, stored) || stored < 0 ||
            stored > kMaxSeconds)
            stored = values.*kSecondsFields[i].member;
        seconds_[i]->setText(QString::number(stored));
    }

    int methods = 7;
    if (!readNumber(key, kLoginMethodsValue, methods)) methods = 7;
    rsaLogin_->setChecked(methods & 1);
    challengeLogin_->setChecked(methods & 2);
    passwordLogin_->setChecked(methods & 4);
    // The key file follows the server shown, as it was last used with that server.
    keyFile_->setText(storedKeyFile(servers_->currentText()));
    fillForServer(servers_->currentText());
    connect(servers_, &QComboBox::currentTextChanged, this, [this](const QString& server) {
        keyFile_->setText(storedKeyFile(server));
        fillForServer(server);
    });
}

void ConnectDialog::fillForServer(const QString& server) {
    if (server.isEmpty()) return;
    const QSettings key = openSettingsKey();
    QString text;
    if (readString(key, serverValueName(server, "Port").constData(), kMaxPortLength, text))
        port_->setText(text);
    if (readString(key, serverValueName(server, "User").constData(), kMaxUserLength, text))
        user_->setText(text);
}

void ConnectDialog::deleteEntry() {
    const int index = findExact(servers_, servers_->currentText());
    if (index < 0) return;
    servers_->removeItem(index);
    selectEntry(servers_, index);
    saveServerList(servers_);
}

void ConnectDialog::accept() {
    {
        QSettings key = openSettingsKey();
        writeValue(key, kServerPortValue, port_->text());
        writeValue(key, kUsernameValue, user_->text());
        for (int i = 0; i < kSecondsFieldCount; ++i)
            writeValue(key, kSecondsFields[i].valueName, seconds(i));
        writeValue(key, kLoginMethodsValue,
                   (rsaLogin_->isChecked() ? 1 : 0) | (challengeLogin_->isChecked() ? 2 : 0) |
                       (passwordLogin_->isChecked() ? 4 : 0));
        if (!servers_->currentText().isEmpty()) {
            writeValue(key, serverValueName(servers_->currentText(), "Port").constData(),
                       port_->text());
            writeValue(key, serverValueName(servers_->currentText(), "User").constData(),
                       user_->text());
            const QByteArray name = keyFileValueName(servers_->currentText());
            if (keyFile_->text().isEmpty()) {
                key.remove(QString::fromLatin1(name));
            } else {
                writeValue(key, name.constData(), keyFile_->text());
            }
        }
    }
    saveServerList(servers_);
    QDialog::accept();
}

void ConnectDialog::reject() {
    saveServerList(servers_);
    clearPassword();
    QDialog::reject();
}

void ConnectDialog::readInto(ConnectValues& values) {
    // A shorter new password must not leave the tail of an older one behind its terminator.
    wipePassword(values);
    toCodePage(servers_->currentText(), values.host, sizeof values.host);
    toCodePage(port_->text(), values.port, sizeof values.port);
    toCodePage(user_->text(), values.user, sizeof values.user);
    for (int i = 0; i < kSecondsFieldCount; ++i) values.*kSecondsFields[i].member = seconds(i);
    values.keyFile = QFile::encodeName(keyFile_->text()).toStdString();
    values.rsaLogin = rsaLogin_->isChecked();
    values.challengeLogin = challengeLogin_->isChecked();
    values.passwordLogin = passwordLogin_->isChecked();
    QString password = password_->text();
    toCodePage(password, values.password, sizeof values.password);
    // Let the field drop its reference first, so this copy is the only one left to wipe.
    clearPassword();
    wipeString(password);
}

void ConnectDialog::clearPassword() {
    // setText (unlike clear) also empties the field's undo history, which holds typed text.
    password_->setText(QString());
}

}  // namespace

bool loadServerChoices(const QString& server, int& cipher, bool& compression) {
    if (server.trimmed().isEmpty()) return false;
    const QSettings key = openSettingsKey();
    int storedCipher = 0, storedCompression = 0;
    if (!readNumber(key, serverValueName(server.trimmed(), "Cipher").constData(), storedCipher) ||
        !readNumber(key, serverValueName(server.trimmed(), "Compression").constData(),
                    storedCompression) ||
        (storedCipher != 0 && storedCipher != 3 && storedCipher != 6))
        return false;
    cipher = storedCipher;
    compression = storedCompression != 0;
    return true;
}

void saveServerChoices(const QString& server, int cipher, bool compression) {
    if (server.trimmed().isEmpty()) return;
    QSettings key = openSettingsKey();
    writeValue(key, serverValueName(server.trimmed(), "Cipher").constData(), cipher);
    writeValue(key, serverValueName(server.trimmed(), "Compression").constData(),
               compression ? 1 : 0);
}

void wipePassword(ConnectValues& values) {
    wipeMemory(values.password, sizeof values.password);
}

int runConnectDialog(QWidget* parent, ConnectValues& values, const QStringList& defaultServers) {
    // On the heap and watched: should the owner be destroyed while the dialog runs, it takes
    // the dialog with it, and a dialog on the stack would then be destroyed twice.
    QPointer<ConnectDialog> dialog = new ConnectDialog(parent, values, defaultServers);
    const int result = dialog->exec();
    if (!dialog) return 1;
    if (result == QDialog::Accepted) dialog->readInto(values);
    delete dialog;
    return result == QDialog::Accepted ? 0 : 1;
}

int loadServerList(QComboBox* servers) {
    const QSettings key = openSettingsKey();
    int stored = 0;
    if (!readNumber(key, kServerCountValue, stored)) return 0;
    int added = 0;
    for (int i = 0; i < std::min(stored, kMaxServerEntries); ++i) {
        QString server;
        if (readString(key, serverValueName(i).constData(), kMaxStoredLength, server) &&
            !server.isEmpty()) {
            addSorted(servers, server);
            ++added;
        }
    }
    return added;
}

void saveServerList(QComboBox* servers) {
    const QString text = servers->currentText();
    if (findExact(servers, text) < 0) {
        // Adding an item can change the field; keep what the user typed in view.
        addSorted(servers, text);
        servers->setEditText(text);
    }
    if (servers->count() == 0) return;
    QSettings key = openSettingsKey();
    if (!key.isWritable()) return;
    int n = 0;
    for (int i = 0; i < servers->count(); ++i) {
        const QString entry = servers->itemText(i);
        if (entry.isEmpty()) continue;
        writeValue(key, serverValueName(n).constData(), entry);
        ++n;
    }
    writeValue(key, kServerCountValue, n);
}

}  // namespace corvid1

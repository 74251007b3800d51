#include "app/dialogs/tunnels_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QVBoxLayout>

#include "app/dialogs/connect_dialog.h"
#include "app/dialogs/settings_store.h"

namespace corvid1 {
namespace {

QString tunnelsName(const QString& host) {
    // A host name may hold characters that QSettings reads as group separators.
    return QStringLiteral("CETunnels/") +
           QString::fromLatin1(host.trimmed().toLower().toUtf8().toHex());
}

QString x11Name(const QString& host) {
    return QStringLiteral("CEX11/") +
           QString::fromLatin1(host.trimmed().toLower().toUtf8().toHex());
}

QString savedText(const PortForward& rule) {
    return (rule.remote ? QStringLiteral("R") : QStringLiteral("L")) +
           QString::fromStdString(portForwardText(rule));
}

class TunnelsDialog : public QDialog {
  public:
    TunnelsDialog(QWidget* parent, const QString& host);
    void accept() override;

  private:
    void show(const QString& host);
    void add();
    void remove();

    QComboBox* server_;
    QListWidget* list_;
    QComboBox* kind_;
    QLineEdit* rule_;
    QCheckBox* x11_;
    std::vector<PortForward> forwards_;
};

TunnelsDialog::TunnelsDialog(QWidget* parent, const QString& host) : QDialog(parent) {
    setObjectName(QStringLiteral("tunnelsDialog"));
    setWindowTitle(QStringLiteral("Tunnels"));

    server_ = new QComboBox(this);
    server_->setObjectName(QStringLiteral("server"));
    server_->setEditable(true);
    loadServerList(server_);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("forwards"));
    kind_ = new QComboBox(this);
    kind_->setObjectName(QStringLiteral("kind"));
    kind_->addItems({QStringLiteral("Local"), QStringLiteral("Remote")});
    rule_ = new QLineEdit(this);
    rule_->setObjectName(QStringLiteral("rule"));
    rule_->setPlaceholderText(QStringLiteral("[bind:]port:host:hostport"));
    auto* addButton = new QPushButton(QStringLiteral("&Add"), this);
    addButton->setObjectName(QStringLiteral("addButton"));
    auto* removeButton = new QPushButton(QStringLiteral("&Remove"), this);
    removeButton->setObjectName(QStringLiteral("removeButton"));
    x11_ = new QCheckBox(QStringLiteral("Forward &X11"), this);
    x11_->setObjectName(QStringLiteral("x11"));
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));

    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(new QLabel(QStringLiteral("&Server:"), this));
    serverRow->addWidget(server_, 1);
    auto* addRow = new QHBoxLayout;
    addRow->addWidget(kind_);
    addRow->addWidget(rule_, 1);
    addRow->addWidget(addButton);
    addRow->addWidget(removeButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(serverRow);
    layout->addWidget(list_);
    layout->addLayout(addRow);
    layout->addWidget(x11_);
    layout->addWidget(buttons);

    connect(addButton, &QPushButton::clicked, this, [this] { add(); });
    connect(rule_, &QLineEdit::returnPressed, this, [this] { add(); });
    connect(removeButton, &QPushButton::clicked, this, [this] { remove(); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(server_, &QComboBox::currentTextChanged, this, [this](const QString& h) { show(h); });
    server_->setCurrentText(host);
    show(host);
}

void TunnelsDialog::show(const QString& host) {
    const TunnelSettings saved = loadTunnels(host);
    forwards_ = saved.forwards;
    list_->clear();
    for (const PortForward& rule : forwards_) list_->addItem(forwardLine(rule));
    x11_->setChecked(saved.x11);
}

void TunnelsDialog::add() {
    const auto rule =
        parsePortForward(rule_->text().trimmed().toStdString(), kind_->currentIndex() == 1);
    if (!rule) {
        rule_->setStyleSheet(QStringLiteral("color: red"));
        return;
    }
    rule_->setStyleSheet(QString());
    rule_->clear();
    forwards_.push_back(*rule);
    list_->addItem(forwardLine(*rule));
}

void TunnelsDialog::remove() {
    const int row = list_->currentRow();
    if (row < 0 || row >= static_cast<int>(forwards_.size())) return;
    forwards_.erase(forwards_.begin() + row);
    delete list_->takeItem(row);
}

void TunnelsDialog::accept() {
    saveTunnels(server_->currentText(), {forwards_, x11_->isChecked()});
    QDialog::accept();
}

}  // namespace

QString forwardLine(const PortForward& rule) {
    return (rule.remote ? QStringLiteral("Remote ") : QStringLiteral("Local ")) +
           QString::fromStdString(portForwardText(rule));
}

TunnelSettings loadTunnels(const QString& host) {
    TunnelSettings tunnels;
    if (host.trimmed().isEmpty()) return tunnels;
    const QSettings key = openSettingsKey();
    const QStringList words =
        key.value(tunnelsName(host)).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& word : words) {
        const bool remote = word.startsWith(QLatin1Char('R'));
        if (!remote && !word.startsWith(QLatin1Char('L'))) continue;
        if (const auto rule = parsePortForward(word.mid(1).toStdString(), remote))
            tunnels.forwards.push_back(*rule);
    }
    tunnels.x11 = key.value(x11Name(host)).toInt() != 0;
    return tunnels;
}

void saveTunnels(const QString& host, const TunnelSettings& tunnels) {
    if (host.trimmed().isEmpty()) return;
    QSettings key = openSettingsKey();
    QStringList words;
    for (const PortForward& rule : tunnels.forwards) words << savedText(rule);
    key.setValue(tunnelsName(host), words.join(QLatin1Char(' ')));
    key.setValue(x11Name(host), tunnels.x11 ? 1 : 0);
}

int runTunnelsDialog(QWidget* parent, const QString& host) {
    TunnelsDialog dialog(parent, host);
    return dialog.exec() == QDialog::Accepted ? 0 : 1;
}

}  // namespace corvid1

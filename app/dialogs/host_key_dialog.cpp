#include "app/dialogs/host_key_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace corvid1 {
namespace {

QLabel* makeValue(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    // The user compares it with what the server's administrator reads out, or copies it.
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* makeText(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QPushButton* addButton(QDialog* dialog, QDialogButtonBox* box, const char* name,
                       const QString& text, int result) {
    auto* button = new QPushButton(text, dialog);
    button->setObjectName(QLatin1String(name));
    button->setAutoDefault(false);
    box->addButton(button, QDialogButtonBox::ActionRole);
    QObject::connect(button, &QPushButton::clicked, dialog, [dialog, result] {
        if (result == HostKeyCancel) {
            dialog->reject();
        } else {
            dialog->done(result);
        }
    });
    return button;
}

// Cancel is the default: Return pressed out of habit must never trust a key.
void makeCancelDefault(QPushButton* cancel) {
    cancel->setDefault(true);
    cancel->setFocus();
}

}  // namespace

UnknownHostKeyDialog::UnknownHostKeyDialog(QWidget* parent, const QString& host, int port,
                                           unsigned bits, const QString& fingerprint)
    : QDialog(parent) {
    setObjectName(QStringLiteral("unknownHostKeyDialog"));
    setWindowTitle(QStringLiteral("Unknown Host Key"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeText(
        this, QStringLiteral("The server's host key is not known. There is no guarantee that "
                             "the server is the computer you think it is.")));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Host:"), makeValue(this, "host", host));
    form->addRow(QStringLiteral("Port:"), makeValue(this, "port", QString::number(port)));
    form->addRow(QStringLiteral("Bits:"), makeValue(this, "bits", QString::number(bits)));
    form->addRow(QStringLiteral("Fingerprint:"), makeValue(this, "fingerprint", fingerprint));
    layout->addLayout(form);
    layout->addWidget(makeText(
        this, QStringLiteral("Compare the fingerprint with the one the server's administrator "
                             "gives you before you trust this key.")));

    auto* buttons = new QDialogButtonBox(this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    addButton(this, buttons, "acceptButton", QStringLiteral("Accept and remember"),
              HostKeyAcceptAndRemember);
    addButton(this, buttons, "onceButton", QStringLiteral("Connect once"), HostKeyConnectOnce);
    QPushButton* cancel =
        addButton(this, buttons, "cancelButton", QStringLiteral("Cancel"), HostKeyCancel);
    layout->addWidget(buttons);
    makeCancelDefault(cancel);
}

ChangedHostKeyDialog::ChangedHostKeyDialog(QWidget* parent, const QString& host, int port,
                                           const QString& oldFingerprint,
                                           const QString& newFingerprint)
    : QDialog(parent) {
    setObjectName(QStringLiteral("changedHostKeyDialog"));
    setWindowTitle(QStringLiteral("WARNING - Host Key Changed"));
    setModal(true);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(
        makeText(this,
                 QStringLiteral(
                     "The host key of %1 (port %2) is not the one on record.\n\n"
                     "THIS MAY BE AN ATTACK: someone may be impersonating the server to read "
                     "your password. It is also possible that the server's key was replaced.\n\n"
                     "Do not connect unless the server's administrator has confirmed the new "
                     "key.")
                     .arg(host)
                     .arg(port)),
        1);
    layout->addLayout(top);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Key on record:"),
                 makeValue(this, "oldFingerprint", oldFingerprint));
    form->addRow(QStringLiteral("Key presented:"),
                 makeValue(this, "newFingerprint", newFingerprint));
    layout->addLayout(form);

    auto* buttons = new QDialogButtonBox(this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    addButton(this, buttons, "onceButton", QStringLiteral("Connect once"), HostKeyConnectOnce);
    QPushButton* cancel =
        addButton(this, buttons, "cancelButton", QStringLiteral("Cancel"), HostKeyCancel);
    layout->addWidget(buttons);
    makeCancelDefault(cancel);
}

}  // namespace corvid1

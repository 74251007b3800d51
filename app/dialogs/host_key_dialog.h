// The questions asked about a server's host key before the password goes out.
//
// Object names, for tests that answer while the dialog runs:
//   "unknownHostKeyDialog"  QDialog, title "Unknown Host Key"
//   "changedHostKeyDialog"  QDialog, title "WARNING - Host Key Changed"
//   "host", "port", "bits"  QLabels with the values (unknown key)
//   "fingerprint"           QLabel, the key presented (unknown key)
//   "oldFingerprint"        QLabel, the key on record (changed key)
//   "newFingerprint"        QLabel, the key presented (changed key)
//   "acceptButton"          QPushButton "Accept and remember" (unknown key only)
//   "onceButton"            QPushButton "Connect once"
//   "cancelButton"          QPushButton "Cancel", the default button of both dialogs
// Escape and the close box answer Cancel.
#pragma once

#include <QDialog>
#include <QString>

namespace corvid1 {

// The dialog's result codes (QDialog::Rejected, 0, is Cancel).
enum HostKeyDialogResult : int {
    HostKeyCancel = QDialog::Rejected,
    HostKeyAcceptAndRemember = 2,
    HostKeyConnectOnce = 3,
};

// A key that no known-hosts file names for this host and port.
class UnknownHostKeyDialog : public QDialog {
    Q_OBJECT
  public:
    UnknownHostKeyDialog(QWidget* parent, const QString& host, int port, unsigned bits,
                         const QString& fingerprint);
};

// A key that differs from the one on record for this host and port. Only "Connect once" is
// offered besides Cancel: a key that may belong to an attacker is never written to the file.
class ChangedHostKeyDialog : public QDialog {
    Q_OBJECT
  public:
    ChangedHostKeyDialog(QWidget* parent, const QString& host, int port,
                         const QString& oldFingerprint, const QString& newFingerprint);
};

}  // namespace corvid1

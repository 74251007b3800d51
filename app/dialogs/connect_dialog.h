// The Connect dialog: server, port, user name and password before each connection, with the
// list of servers used before kept in the settings ("CENumservers", "CEServer%d") in
// alphabetical order, and the last user name and port ("CEUsername", "CEServerPort"). The
// password is never stored; the dialog wipes its own copies.
//
// Object names, for tests that fill the dialog in while `runConnectDialog` runs (find it with
// QApplication::activeModalWidget()):
//   "connectDialog"  the QDialog, title "Connect"
//   "server"         QComboBox, editable, the server list (at most 79 characters)
//   "deleteButton"   QPushButton "&Delete": removes the entry named in the server field
//   "port"           QLineEdit, digits only, at most 5
//   "user"           QLineEdit, at most 19 characters
//   "password"       QLineEdit, hidden characters, at most 19
//   "timeout"        QLineEdit, digits only, at most 5: seconds the connect and the login may
//                    take ("CEConnectTimeout"; 0 means no limit)
//   "keepalive"      QLineEdit, digits only, at most 5: seconds without traffic before a
//                    keepalive packet ("CEKeepAlive"; 0 means none)
//   "keyFile"        QLineEdit, an SSH-1 private key file to log in with, remembered for the
//                    server in the field ("CEKeyFile/<server>"); empty: none
//   "keyFileBrowse"  QPushButton "...": a file chooser for it
//   "rsaLogin", "challengeLogin", "passwordLogin"
//                    QCheckBox: the login methods allowed ("CELoginMethods", bits 1, 2, 4)
//   "buttonBox"      QDialogButtonBox with OK and Cancel (Escape and the close box cancel)
// Text fields accept only characters that Windows-1252 can carry, so what is sent is what
// was typed.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <string>

class QComboBox;
class QWidget;

namespace corvid1 {

// The shell's connection fields, 8-bit (Windows-1252) and NUL-terminated, in the sizes the
// login uses. Initial values are those of a fresh start.
struct ConnectValues {
    char host[80] = " ";
    char port[6] = "22";
    char user[20] = "username";
    char password[20] = {};
    // Seconds the connect and the login together may take before the session is given up
    // (0: no limit). Kept in the settings, unlike the port, since it describes the network.
    int timeoutSeconds = 60;
    // Seconds without traffic after which an SSH_MSG_IGNORE goes out (0: never).
    int keepaliveSeconds = 0;
    // The key file (a local path, empty for none) and the login methods allowed.
    std::string keyFile;
    bool rsaLogin = true;
    bool challengeLogin = true;
    bool passwordLogin = true;
};

// The cipher (0, 3 or 6) and compression last used with `server`: false when none are on
// record. Kept beside the server's port and user name, which the dialog fills in itself.
bool loadServerChoices(const QString& server, int& cipher, bool& compression);
void saveServerChoices(const QString& server, int cipher, bool compression);

// Clears the password once the login has taken its copy.
void wipePassword(ConnectValues& values);

// Runs the dialog modally over `parent`. Returns 0 for OK (host, port, user and password then
// hold the fields' text), 1 for Cancel (values unchanged). Both save the server list.
// `defaultServers` is offered when the settings hold no server list.
int runConnectDialog(QWidget* parent, ConnectValues& values,
                     const QStringList& defaultServers = QStringList{QString()});

// Server list operations on the dialog's combo box, exposed for tests.
// Adds every readable, non-empty "CEServer%d" below "CENumservers"; returns how many.
int loadServerList(QComboBox* servers);
// Adds the field's text to the list unless present (case-insensitive), then writes the
// non-empty entries as "CEServer0".. and their number as "CENumservers".
void saveServerList(QComboBox* servers);

}  // namespace corvid1

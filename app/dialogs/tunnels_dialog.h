// The Tunnels dialog: the port forwards and the X11 switch that the next connection to a server
// sets up, kept per server in the settings (group "CETunnels", one string per server: the
// forwards as "L[bind:]port:host:hostport" or "Rport:host:hostport" separated by blanks; group
// "CEX11", one number per server).
//
// Object names, for tests that work the dialog while `runTunnelsDialog` runs:
//   "tunnelsDialog"  the QDialog, title "Tunnels"
//   "server"         QComboBox, editable: the server whose tunnels are shown (the Connect
//                    dialog's list); choosing another shows its tunnels
//   "forwards"       QListWidget, a line per forward: "Local 8080:db:5432", "Remote 9000:..."
//   "kind"           QComboBox "Local" or "Remote", for the next Add
//   "rule"           QLineEdit, [bind:]port:host:hostport
//   "addButton"      QPushButton "&Add": adds the rule (an invalid one is refused, the field
//                    keeps it and turns red)
//   "removeButton"   QPushButton "&Remove": removes the selected forward
//   "x11"            QCheckBox "Forward &X11"
//   "buttonBox"      OK saves for the server shown, Cancel keeps what was saved
#pragma once

#include <QString>
#include <vector>

#include "session/channels/port_forward.h"

class QWidget;

namespace corvid1 {

struct TunnelSettings {
    std::vector<PortForward> forwards;
    bool x11 = false;
};

// What is saved for `host` (case-insensitive); a value that does not parse is left out.
TunnelSettings loadTunnels(const QString& host);
void saveTunnels(const QString& host, const TunnelSettings& tunnels);

// The line the list shows for a forward.
QString forwardLine(const PortForward& rule);

// Runs the dialog modally; 0 for OK, 1 for Cancel.
int runTunnelsDialog(QWidget* parent, const QString& host);

}  // namespace corvid1

// The Tunnels dialog and the per-server tunnels it keeps.
#include "app/dialogs/tunnels_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "dialog_test_support.h"

using namespace corvid1;
using namespace corvid1::test;

namespace {

PortForward rule(const char* text, bool remote) {
    return *parsePortForward(text, remote);
}

}  // namespace

class TunnelsDialogTest : public QObject {
    Q_OBJECT
    SettingsSandbox sandbox_;

  private slots:
    void init() { sandbox_.clear(); }

    void tunnelsAreKeptPerServerAndBadValuesAreSkipped() {
        saveTunnels("Gate.Example",
                    {{rule("[::1]:8080:db:5432", false), rule("9000:localhost:22", true)}, true});
        const TunnelSettings back = loadTunnels(" gate.example");
        QCOMPARE(back.forwards.size(), std::size_t{2});
        QVERIFY(back.forwards[0] == rule("[::1]:8080:db:5432", false));
        QVERIFY(back.forwards[1] == rule("9000:localhost:22", true));
        QVERIFY(back.x11);
        QVERIFY(loadTunnels("other.example").forwards.empty());
        QVERIFY(!loadTunnels("other.example").x11);
        // Hand-edited or damaged settings: what does not parse is left out.
        const QString name = "CETunnels/" + QString::fromLatin1(QByteArray("gate.example").toHex());
        programKey().setValue(name, "L80 X1:a:2 R1.2.3.4:1:a:2 L1:a:2");
        QCOMPARE(loadTunnels("gate.example").forwards.size(), std::size_t{1});
    }

    void addRemoveAndX11AreSavedOnOkOnly() {
        for (const bool ok : {false, true}) {
            whenModal([ok](QDialog* dialog) {
                auto* list = child<QListWidget>(dialog, "forwards");
                auto* field = child<QLineEdit>(dialog, "rule");
                auto* add = child<QPushButton>(dialog, "addButton");
                field->setText("8080:db:5432");
                add->click();
                child<QComboBox>(dialog, "kind")->setCurrentIndex(1);
                field->setText("1.2.3.4:9000:localhost:22");  // -R takes no bind address
                add->click();
                QCOMPARE(list->count(), 1);
                QCOMPARE(field->text(), QString("1.2.3.4:9000:localhost:22"));
                field->setText("9000:localhost:22");
                add->click();
                QCOMPARE(list->item(1)->text(), QString("Remote 9000:localhost:22"));
                list->setCurrentRow(0);
                child<QPushButton>(dialog, "removeButton")->click();
                child<QCheckBox>(dialog, "x11")->setChecked(true);
                auto* box = child<QDialogButtonBox>(dialog, "buttonBox");
                box->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
            });
            QCOMPARE(runTunnelsDialog(nullptr, "gate"), ok ? 0 : 1);
            const TunnelSettings saved = loadTunnels("gate");
            QCOMPARE(saved.forwards.size(), std::size_t{ok ? 1u : 0u});
            QCOMPARE(saved.x11, ok);
        }
    }
};

QTEST_MAIN(TunnelsDialogTest)
#include "tunnels_dialog_test.moc"

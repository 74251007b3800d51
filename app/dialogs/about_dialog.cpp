#include "app/dialogs/about_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>

namespace corvid1 {

void showAboutDialog(QWidget* parent) {
    // On the heap and watched, like every modal dialog with an owner that could go first.
    QPointer<QDialog> guard = new QDialog(parent);
    QDialog& dialog = *guard;
    dialog.setObjectName(QStringLiteral("aboutDialog"));
    dialog.setWindowTitle(QStringLiteral("About Corvid"));
    auto* text =
        new QLabel(QStringLiteral("Corvid1 v1.00.46\n"
                                  "Copyright (c) Kelm Software. Free to use and to pass on.\n"
                                  "\n"
                                  "1.00.46/3DESCBC/BLOWFISH\n"
                                  "/GMP/CRYPTO++"),
                   &dialog);
    text->setObjectName(QStringLiteral("aboutText"));
    text->setAlignment(Qt::AlignCenter);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog.exec();
    delete guard;
}

}  // namespace corvid1

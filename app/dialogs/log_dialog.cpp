#include "app/dialogs/log_dialog.h"

#include <QButtonGroup>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

#include "app/dialogs/dialog_layout.h"

namespace corvid1 {
namespace {

QRadioButton* radio(QWidget* parent, const char* name, const char* text, bool checked) {
    auto* button = new QRadioButton(QLatin1String(text), parent);
    button->setObjectName(QLatin1String(name));
    button->setChecked(checked);
    return button;
}

// Two choices in a row, exclusive within their own group.
QHBoxLayout* pair(QWidget* parent, QRadioButton* first, QRadioButton* second) {
    auto* group = new QButtonGroup(parent);
    group->addButton(first);
    group->addButton(second);
    auto* row = new QHBoxLayout;
    row->addWidget(first);
    row->addWidget(second);
    return row;
}

}  // namespace

bool runLogDialog(QWidget* parent, LogChoice& choice) {
    QPointer<QDialog> dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("logDialog"));
    dialog->setWindowTitle(QStringLiteral("Log Session"));

    auto* file = new QLineEdit(choice.path, dialog);
    file->setObjectName(QStringLiteral("logFile"));
    file->setMinimumWidth(280);
    auto* browse = new QPushButton(QStringLiteral("..."), dialog);
    browse->setObjectName(QStringLiteral("logBrowse"));
    browse->setAutoDefault(false);
    QObject::connect(browse, &QPushButton::clicked, dialog, [dialog, file] {
        const QString start = file->text().isEmpty() ? QDir::homePath() : file->text();
        const QString chosen =
            QFileDialog::getSaveFileName(dialog, QStringLiteral("Log file"), start, QString(),
                                         nullptr, QFileDialog::DontConfirmOverwrite);
        if (!chosen.isEmpty()) file->setText(chosen);
    });
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(file, 1);
    fileRow->addWidget(browse);

    auto* text = radio(dialog, "logText", "&Printable text", choice.text);
    auto* raw = radio(dialog, "logRaw", "&Raw bytes from the server", !choice.text);
    auto* append = radio(dialog, "logAppend", "&Append", choice.append);
    auto* overwrite = radio(dialog, "logOverwrite", "&Overwrite", !choice.append);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&File:"), fileRow);
    form->addRow(QStringLiteral("Log:"), pair(dialog, text, raw));
    form->addRow(QStringLiteral("If it exists:"), pair(dialog, append, overwrite));
    layOutWithOkCancel(dialog, form);

    const int result = dialog->exec();
    if (!dialog) return false;
    const bool ok = result == QDialog::Accepted && !file->text().trimmed().isEmpty();
    if (ok) {
        choice.path = file->text().trimmed();
        choice.text = text->isChecked();
        choice.append = append->isChecked();
    }
    delete dialog;
    return ok;
}

}  // namespace corvid1

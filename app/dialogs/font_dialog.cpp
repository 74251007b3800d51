#include "app/dialogs/font_dialog.h"

#include "app/dialogs/dialog_layout.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "app/dialogs/preferences.h"

namespace corvid1 {
namespace {

constexpr int kRegularWeight = 400;
constexpr int kBoldWeight = 700;

QComboBox* makeList(QWidget* parent, const char* name) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QLatin1String(name));
    list->setEditable(false);
    return list;
}

class FontDialog : public QDialog {
  public:
    FontDialog(QWidget* parent, std::function<void()> onChanged);
    void accept() override;

  private:
    QComboBox* face_;
    QComboBox* style_;
    QComboBox* size_;
    std::function<void()> onChanged_;
};

FontDialog::FontDialog(QWidget* parent, std::function<void()> onChanged)
    : QDialog(parent), onChanged_(std::move(onChanged)) {
    setObjectName(QStringLiteral("fontDialog"));
    setWindowTitle(QStringLiteral("Font"));
    setAttribute(Qt::WA_DeleteOnClose);

    face_ = makeList(this, "face");
    style_ = makeList(this, "style");
    size_ = makeList(this, "size");

    // The style list is sorted, so "Bold" comes before "Regular".
    style_->addItem(QStringLiteral("Bold"), kBoldWeight);
    style_->addItem(QStringLiteral("Regular"), kRegularWeight);
    for (int points : kFontSizes) size_->addItem(QString::number(points));

    const QStringList faces = faceListEntries(QFontDatabase::families(), [](const QString& family) {
        return QFontDatabase::isFixedPitch(family);
    });
    face_->addItems(faces);

    int selected = -1;
    QString storedFace;
    int height = 0;
    int weight = 0;
    if (loadFontSettings(storedFace, height, weight)) selected = findFaceEntry(faces, storedFace);
    face_->setCurrentIndex(selected);
    style_->setCurrentIndex(-1);
    size_->setCurrentIndex(-1);
    // A list left without a selection keeps the current value; say so instead of a blank.
    for (QComboBox* list : {face_, style_, size_}) {
        list->setPlaceholderText(QStringLiteral("(unchanged)"));
    }
    face_->setMinimumContentsLength(24);

    auto* form = new QFormLayout;
    auto addRow = [&](const char* label, QComboBox* list) {
        auto* text = new QLabel(QLatin1String(label), this);
        text->setBuddy(list);
        form->addRow(text, list);
    };
    addRow("&Font:", face_);
    addRow("F&ont Style:", style_);
    addRow("Font &Size:", size_);

    layOutWithOkCancel(this, form);
}

void FontDialog::accept() {
    // A list without a selection keeps the stored value, and that the default.
    TerminalFont font = loadTerminalFont();
    if (face_->currentIndex() >= 0) font.face = face_->currentText();
    if (size_->currentIndex() >= 0) {
        const QWidget* display = parentWidget() ? parentWidget() : this;
        font.height = fontHeightForPoints(size_->currentText().toInt(), display->logicalDpiX());
    }
    if (style_->currentIndex() >= 0) {
        bool ok = false;
        const int weight = style_->currentData().toInt(&ok);
        if (ok) font.weight = weight;
    }
    terminalFont = font;
    saveFontSettings(font.face, font.height, font.weight);
    if (onChanged_) onChanged_();
    QDialog::accept();
}

}  // namespace

QDialog* openFontDialog(QWidget* parent, std::function<void()> onChanged) {
    auto* dialog = new FontDialog(parent, std::move(onChanged));
    dialog->show();
    return dialog;
}

int findFaceEntry(const QStringList& entries, const QString& face) {
    auto matches = [&](int i) { return entries.at(i).startsWith(face, Qt::CaseInsensitive); };
    for (int i = 1; i < entries.size(); ++i) {
        if (matches(i)) return i;
    }
    return !entries.isEmpty() && matches(0) ? 0 : -1;
}

QStringList faceListEntries(const QStringList& families,
                            const std::function<bool(const QString&)>& isFixedPitch) {
    QStringList faces;
    for (const QString& family : families) {
        if (family.size() > 1 && family.size() <= kMaxFaceLength && isFixedPitch(family)) {
            faces.append(family);
        }
    }
    std::stable_sort(faces.begin(), faces.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });
    return faces;
}

int fontHeightForPoints(int points, int dotsPerInch) {
    return -(points * dotsPerInch / 72);
}

}  // namespace corvid1

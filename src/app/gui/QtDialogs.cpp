#include "app/gui/QtDialogs.h"

#include "web/DownloadNames.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QStandardPaths>

namespace {

std::unique_ptr<QFileDialog> makeFileDialog(const QString& title, const QString& message,
                                            const QString& directory, QWidget* parent) {
    auto dialog = std::make_unique<QFileDialog>(parent, title.isEmpty() ? message : title, directory);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    if (message.isEmpty())
        return dialog;
    auto* label = new QLabel(message, dialog.get());
    label->setObjectName(QStringLiteral("dialogMessage"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    // The dialog's fields sit in one grid; they move down a row to make room at the top.
    auto* grid = qobject_cast<QGridLayout*>(dialog->layout());
    if (!grid) {
        label->hide();
        return dialog;
    }
    struct Placed {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    QList<Placed> placed;
    int columns = 1;
    while (grid->count() > 0) {
        Placed entry{};
        grid->getItemPosition(0, &entry.row, &entry.column, &entry.rowSpan, &entry.columnSpan);
        entry.item = grid->takeAt(0);
        columns = qMax(columns, entry.column + entry.columnSpan);
        placed.append(entry);
    }
    grid->addWidget(label, 0, 0, 1, columns);
    for (const Placed& entry : std::as_const(placed))
        grid->addItem(entry.item, entry.row + 1, entry.column, entry.rowSpan, entry.columnSpan);
    return dialog;
}

} // namespace

std::unique_ptr<QFileDialog> QtDialogs::openDialog(const OpenOptions& options, QWidget* parent) {
    auto dialog = makeFileDialog(options.title, options.message, options.directory, parent);
    dialog->setLabelText(QFileDialog::Accept,
                         options.prompt.isEmpty() ? QObject::tr("Open") : options.prompt);
    if (options.chooseDirectories && !options.chooseFiles) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog->setFileMode(options.allowsMultiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    return dialog;
}

std::unique_ptr<QFileDialog> QtDialogs::saveDialog(const SaveOptions& options, QWidget* parent) {
    const QString directory = options.directory.isEmpty()
                                  ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                                  : options.directory;
    auto dialog = makeFileDialog(options.title, options.message, directory, parent);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    // The proposed name is a name, never a path: one from the vault that holds slashes or ".."
    // must not steer where the file lands.
    if (!options.suggestedName.isEmpty())
        dialog->selectFile(DownloadNames::safeFileName(options.suggestedName));
    if (!options.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, options.prompt);
    return dialog;
}

std::optional<QStringList> QtDialogs::open(const OpenOptions& options) {
    const auto dialog = openDialog(options, m_parent);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::nullopt;
    return dialog->selectedFiles();
}

std::optional<QString> QtDialogs::save(const SaveOptions& options) {
    const auto dialog = saveDialog(options, m_parent);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
        return std::nullopt;
    return dialog->selectedFiles().first();
}

void QtDialogs::alert(const QString& title, const QString& message) {
    QMessageBox box(QMessageBox::Warning, title, title, QMessageBox::Ok, m_parent);
    box.setInformativeText(message);
    box.exec();
}

bool QtDialogs::confirm(const QString& title, const QString& message) {
    QMessageBox box(QMessageBox::Question, title, title, QMessageBox::Ok | QMessageBox::Cancel, m_parent);
    box.setInformativeText(message);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

#include "app/gui/QtDialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>

std::optional<QStringList> QtDialogs::open(const OpenOptions& options) {
    QFileDialog dialog(m_parent, options.title, options.directory);
    dialog.setLabelText(QFileDialog::Accept, options.prompt.isEmpty() ? QObject::tr("Open") : options.prompt);
    if (!options.message.isEmpty())
        dialog.setLabelText(QFileDialog::LookIn, options.message);
    if (options.chooseDirectories && !options.chooseFiles) {
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog.setFileMode(options.allowsMultiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles();
}

std::optional<QString> QtDialogs::save(const SaveOptions& options) {
    const QString directory = options.directory.isEmpty()
                                  ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                                  : options.directory;
    QFileDialog dialog(m_parent, options.title, directory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.selectFile(options.suggestedName);
    if (!options.prompt.isEmpty())
        dialog.setLabelText(QFileDialog::Accept, options.prompt);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
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

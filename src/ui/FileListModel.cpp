#include "ui/FileListModel.h"

#include "ui/FileBrowserView.h"

#include <QLocale>
#include <QThreadPool>
#include <utility>

FileListModel::FileListModel(QObject* parent)
    : QAbstractListModel(parent)
    , m_rows(std::make_shared<const Rows>()) {}

QString FileListModel::searchKey(const QString& text) {
    return QLocale().toLower(text);
}

QString FileListModel::shownText(const QString& text) {
    QString shown = text;
    for (QChar& c : shown) {
        const char16_t code = c.unicode();
        if (code < 0x20)
            c = QChar(char16_t(0x2400 + code)); // the Unicode "control pictures": ␀ … ␟
        else if (code == 0x7F)
            c = QChar(char16_t(0x2421)); // ␡
        else if (c.category() == QChar::Other_Control)
            c = QChar(QChar::ReplacementCharacter);
        else if (code == 0x2028 || code == 0x2029)
            c = QChar(char16_t(0x2424)); // ␤
    }
    return shown;
}

FileListModel::RowsPtr FileListModel::prepare(const QList<SupabaseFileRecord>& records) {
    auto rows = std::make_shared<Rows>();
    rows->rows.reserve(records.size());
    rows->rowsById.reserve(records.size());
    for (const SupabaseFileRecord& record : records) {
        Row row;
        row.record = record;
        row.shownName = shownText(record.originalFilename);
        row.shownFolder = record.folderPath ? shownText(*record.folderPath) : QString();
        row.shownDevice = shownText(record.deviceName);
        row.sizeText = FileBrowserView::formatFileSize(record.fileSize);
        row.mimeIcon = FileBrowserView::iconForMime(record.mimeType);
        row.deviceIcon = FileBrowserView::deviceIcon(record.deviceType);
        row.nameKey = searchKey(record.originalFilename);
        row.deviceNameKey = searchKey(record.deviceName);
        row.deviceTypeKey = searchKey(record.deviceType);
        rows->rowsById[record.id].append(int(rows->rows.size()));
        rows->rows.append(std::move(row));
    }
    return rows;
}

void FileListModel::setRows(RowsPtr rows) {
    beginResetModel();
    RowsPtr previous = std::exchange(m_rows, rows ? std::move(rows) : std::make_shared<const Rows>());
    endResetModel();
    // Freeing a listing's 100,000 strings takes longer than a frame; a worker lets them go.
    QThreadPool::globalInstance()->start([previous = std::move(previous)]() mutable { previous.reset(); });
}

void FileListModel::setDownloading(const QString& id, bool downloading) {
    int& count = m_downloading[id];
    count += downloading ? 1 : -1;
    if (count <= 0)
        m_downloading.remove(id);
    for (int row : rowsOf(id))
        Q_EMIT dataChanged(index(row), index(row), {DownloadingRole});
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_rows->rows.size());
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows->rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return row.shownName;
    case Qt::ToolTipRole:
        return row.shownFolder.isEmpty() ? row.shownName
                                         : row.shownName + QLatin1Char('\n') + row.shownFolder;
    case Qt::AccessibleTextRole: {
        // What a screen reader says for the row: name, device, size.
        QStringList parts{row.shownName.isEmpty() ? QStringLiteral("(no name)") : row.shownName};
        if (!row.shownDevice.isEmpty())
            parts.append(row.shownDevice);
        parts.append(row.sizeText);
        return parts.join(QStringLiteral(", "));
    }
    case IdRole:
        return row.record.id;
    case FolderRole:
        return row.shownFolder;
    case DeviceNameRole:
        return row.shownDevice;
    case DeviceIconRole:
        return row.deviceIcon;
    case MimeIconRole:
        return row.mimeIcon;
    case SizeTextRole:
        return row.sizeText;
    case DownloadingRole:
        return isDownloading(row.record.id);
    default:
        return {};
    }
}

#pragma once

#include "vault/SupabaseRecords.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <memory>

// The vault's files as a list model: one row per record, in the order the vault sent them.
// Everything a row shows or is searched by is worked out once, when the rows are prepared
// (off the main thread for a real listing), so painting and filtering only read.
class FileListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        FolderRole,     // the folder line as shown; empty for none
        DeviceNameRole, // as shown
        DeviceIconRole,
        MimeIconRole,
        SizeTextRole,
        DownloadingRole, // a download of this record is in flight
    };

    struct Row {
        SupabaseFileRecord record;
        // The texts as painted: control characters turned into visible symbols, so a name can
        // never break a row into lines or carry invisible characters.
        QString shownName;
        QString shownFolder;
        QString shownDevice;
        QString sizeText;
        QString mimeIcon;
        QString deviceIcon;
        // What the search compares with, folded once.
        QString nameKey;
        QString deviceNameKey;
        QString deviceTypeKey;
    };
    struct Rows {
        QList<Row> rows;
        QHash<QString, QList<int>> rowsById; // ids are the vault's; a bad listing may repeat one
    };
    using RowsPtr = std::shared_ptr<const Rows>;

    explicit FileListModel(QObject* parent = nullptr);

    // Pure and thread-safe: meant to run on a worker with a freshly decoded listing.
    static RowsPtr prepare(const QList<SupabaseFileRecord>& records);
    // The search's case folding (the user's locale), for the keys above and for queries.
    static QString searchKey(const QString& text);
    // `text` with every control character replaced by a visible stand-in.
    static QString shownText(const QString& text);

    // Swaps in prepared rows in one reset. Download marks stay with their ids.
    void setRows(RowsPtr rows);
    const RowsPtr& rows() const { return m_rows; }
    const Row& row(int index) const { return m_rows->rows.at(index); }
    // The rows holding this record id (none, one, or more for a listing that repeats ids).
    QList<int> rowsOf(const QString& id) const { return m_rows->rowsById.value(id); }

    // Per-record download marks; nested downloads of the same id count.
    void setDownloading(const QString& id, bool downloading);
    bool isDownloading(const QString& id) const { return m_downloading.value(id) > 0; }
    bool hasDownloads() const { return !m_downloading.isEmpty(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    RowsPtr m_rows;
    QHash<QString, int> m_downloading;
};

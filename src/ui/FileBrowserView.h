#pragma once

#include "vault/SupabaseRecords.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QWidget>
#include <optional>

class Dialogs;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class SupabaseClient;

// Lists every file of the signed-in user in the vault, whatever device uploaded it, filters the
// list by a search text and downloads a chosen file to where the user says.
class FileBrowserView : public QWidget {
    Q_OBJECT
public:
    FileBrowserView(SupabaseClient& supabase, Dialogs& dialogs, QWidget* parent = nullptr);
    ~FileBrowserView() override;

    enum class MainArea { Loading, List, Empty };

    // Symbol names for a media type (case-sensitive "contains" tests) and a device type.
    static QString iconForMime(const QString& mimeType);
    static QString deviceIcon(const QString& deviceType);
    // A byte count in decimal (1000-based) units, the unit chosen by size.
    static QString formatFileSize(qint64 bytes);
    // The records whose file name, device name or device type contains `query` (as typed,
    // ignoring case); all of them for an empty query.
    static QList<SupabaseFileRecord> filterFiles(const QList<SupabaseFileRecord>& files,
                                                 const QString& query);

    const QList<SupabaseFileRecord>& files() const { return m_files; }
    QList<SupabaseFileRecord> filteredFiles() const { return filterFiles(m_files, m_searchQuery); }
    bool isLoading() const { return m_activeLoads > 0; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    std::optional<QString> downloadSuccessMessage() const { return m_downloadSuccessMessage; }
    QString searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString& query);
    bool isDownloading(const QString& fileId) const { return m_downloadingIds.contains(fileId); }
    MainArea mainArea() const;

    void loadFiles();
    void downloadFileWithSavePanel(const SupabaseFileRecord& file);
    void dismissSuccessBanner();

Q_SIGNALS:
    // After a list request ended (whether it changed anything or not).
    void loadFinished();
    // After a download ended, with or without success.
    void downloadFinished(const QString& fileId);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildRows();
    void refreshState();
    void refreshRowButtons();
    QWidget* buildRow(const SupabaseFileRecord& file);

    SupabaseClient& m_supabase;
    Dialogs& m_dialogs;

    QList<SupabaseFileRecord> m_files;
    std::optional<QString> m_errorMessage;
    QString m_searchQuery;
    QSet<QString> m_downloadingIds;
    std::optional<QString> m_downloadSuccessMessage;
    // Overlapping list requests: only the newest one's answer is shown.
    int m_activeLoads = 0;
    quint64 m_loadGeneration = 0;

    QLineEdit* m_searchField;
    QPushButton* m_refreshButton;
    QWidget* m_successBanner;
    QLabel* m_successText;
    QWidget* m_errorBanner;
    QLabel* m_errorText;
    QStackedWidget* m_mainArea;
    QWidget* m_listPage;
    QVBoxLayout* m_rowsLayout;
    QHash<QString, QList<QPushButton*>> m_downloadButtons;
};

#pragma once

#include "vault/SupabaseRecords.h"

#include <QList>
#include <QWidget>
#include <optional>

class Dialogs;
class FileFilterProxyModel;
class FileListModel;
class FileListView;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class SupabaseClient;

// Lists every file of the signed-in user in the vault, whatever device uploaded it, filters the
// list by a search text and downloads a chosen file to where the user says.
//
// The list is a model and a painted view (FileListModel, FileFilterProxyModel, FileListView), not
// a widget per row: a household's 10,000 files appear, scroll and filter without the window
// stalling. A listing is prepared for display on a worker and swapped in whole.
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

    // The rows last received, in the order received.
    const QList<SupabaseFileRecord>& files() const { return m_files; }
    // The rows shown for the search, in order (once the search has caught up with the query).
    QList<SupabaseFileRecord> filteredFiles() const;
    bool isLoading() const { return m_activeLoads > 0; }
    // The search is still working out which rows match the query or the newest rows.
    bool isFiltering() const;
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    std::optional<QString> downloadSuccessMessage() const { return m_downloadSuccessMessage; }
    QString searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString& query);
    bool isDownloading(const QString& fileId) const;
    MainArea mainArea() const;

    FileListView& listView() const { return *m_list; }
    FileFilterProxyModel& shownFiles() const { return *m_proxy; }

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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refreshState();
    void downloadShownRow(const QModelIndex& index);

    SupabaseClient& m_supabase;
    Dialogs& m_dialogs;

    QList<SupabaseFileRecord> m_files;
    std::optional<QString> m_errorMessage;
    QString m_searchQuery;
    std::optional<QString> m_downloadSuccessMessage;
    // Overlapping list requests: only the newest one's answer is shown.
    int m_activeLoads = 0;
    quint64 m_loadGeneration = 0;

    FileListModel* m_model;
    FileFilterProxyModel* m_proxy;
    QLineEdit* m_searchField;
    QPushButton* m_refreshButton;
    QWidget* m_successBanner;
    QLabel* m_successText;
    QWidget* m_errorBanner;
    QLabel* m_errorText;
    QStackedWidget* m_mainArea;
    FileListView* m_list;
};

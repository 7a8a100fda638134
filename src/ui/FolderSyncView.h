#pragma once

#include <QColor>
#include <QDateTime>
#include <QWidget>

class FolderSyncManager;
class GradientButton;
class MetricCard;
class QFrame;
class QLabel;
class QListView;
class QProgressBar;
class QPushButton;
class Spinner;
class SupabaseClient;
class SymbolLabel;
class SyncProgressModel;

// The sync engine's screen: which folder is watched, the engine's state and last status text,
// the folder, start and stop controls, and three metric tiles. Under the status text, while a
// pass has files to sync, a progress bar and how far it has got; below the tiles, what became of
// the files this run (a painted list over the engine's activity model). Everything shown is read
// from the engine and redrawn when it announces a change.
class FolderSyncView : public QWidget {
    Q_OBJECT
public:
    FolderSyncView(FolderSyncManager& syncManager, SupabaseClient& supabase, QWidget* parent = nullptr);

    QString statusIndicatorText() const;
    QColor statusIndicatorColor() const;
    bool isStartEnabled() const;
    bool isStopEnabled() const;
    // "Last scan: " and the time, or empty before any pass has finished.
    QString lastScanText() const;
    // The time of day as the medium time style writes it (hours, minutes, seconds; no date).
    static QString mediumTime(const QDateTime& time);
    // "N of M files · X left · Y/s" (the speed once it is known).
    static QString progressText(const SyncProgressModel& progress);

    // Rows the activity list shows at most without scrolling.
    static constexpr int ActivityRowsShown = 7;

private:
    void refresh();
    void showCounts();
    void refreshProgress();
    void refreshActivity();
    QWidget* buildActivityCard();

    FolderSyncManager& m_syncManager;
    SupabaseClient& m_supabase;

    QFrame* m_pill;
    QFrame* m_pillDot;
    QColor m_pillColor; // the colour the pill was last styled with
    QLabel* m_pillText;
    SymbolLabel* m_folderIcon;
    QLabel* m_folderPath;
    Spinner* m_spinner;
    SymbolLabel* m_infoIcon;
    QLabel* m_statusText;
    QLabel* m_lastScan;
    QWidget* m_progress;
    QProgressBar* m_progressBar;
    QLabel* m_progressText;
    GradientButton* m_start;
    GradientButton* m_stop;
    MetricCard* m_filesInVault;
    MetricCard* m_deduplicated;
    QListView* m_activityList = nullptr;
    QLabel* m_activityEmpty = nullptr;
};

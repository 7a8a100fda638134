#pragma once

#include <QColor>
#include <QDateTime>
#include <QWidget>

class FolderSyncManager;
class GradientButton;
class MetricCard;
class QFrame;
class QLabel;
class QPushButton;
class Spinner;
class SupabaseClient;
class SymbolLabel;

// The sync engine's screen: which folder is watched, the engine's state and last status text,
// the folder, start and stop controls, and three metric tiles. Everything shown is read from
// the engine and redrawn when it announces a change.
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

private:
    void refresh();
    void showCounts();

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
    GradientButton* m_start;
    GradientButton* m_stop;
    MetricCard* m_filesInVault;
    MetricCard* m_deduplicated;
};

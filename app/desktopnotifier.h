#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

// Tells the desktop about a batch, over the session bus when it has one: its progress in the
// task bar (the launcher entry that KDE Plasma and the common docks read), and a
// notification when a long batch ends while the window is not the active one. Without a bus,
// a notification service or a dock, nothing happens and nothing is reported.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    // A batch that ran for longer than `notifyAfterMs` gets a notification at its end.
    explicit DesktopNotifier(int notifyAfterMs = 30 * 1000, QObject *parent = nullptr);

    void batchStarted();
    // Photos finished of all; shown as the task bar's progress, and the photos left as its count.
    void progress(int finished, int total);
    // Clears the task bar; notifies when the batch ran long and `windowActive` is false.
    // `outputFolder` is what the notification's action opens.
    void batchEnded(int saved, int skipped, int failed, bool windowActive, const QString &outputFolder);

signals:
    // The notification's review action was chosen.
    void reviewAsked();

private slots:
    void actionInvoked(uint id, const QString &action);

private:
    void updateLauncher(double progress, int count, bool visible);

    int notifyAfterMs;
    QElapsedTimer running;
    uint lastNotification = 0;
    QString folderToOpen;
};

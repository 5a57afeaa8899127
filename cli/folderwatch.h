#pragma once

#include "shard.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

class QFileSystemWatcher;

// The photos of a watched folder (--watch) that are new or have changed since a batch took
// them, each handed out once its size and time have stood still.
class FolderWatch : public QObject
{
    Q_OBJECT

public:
    explicit FolderWatch(QObject *parent = nullptr);

    // Each photo now in `folder`, as it is: the first pass takes them.
    void markPhotosTaken(const QString &folder);
    // Only the photos of this share of the folder are watched.
    void setShard(const Shard &share) { shard = share; }
    void markTaken(const QString &source);
    bool isTaken(const QString &source) const { return taken.contains(source); }

    // Watches `folder` from now on: its change notices, a look every 30 s all the same, and one now.
    void start(const QString &folder);

    // The photos that have stood still long enough and whose result under `output` is not
    // complete, in name order, each taken as it is now. A photo handed out is not looked at
    // again until ended() says it has ended.
    QStringList takeSettled(const QString &output);
    void ended(const QString &source) { sending.removeAll(source); }

signals:
    // Time to ask takeSettled() again.
    void settling();

private:
    void scan();

    QString folder;
    QElapsedTimer clock;
    // Each candidate's size and time, and since when they have not changed.
    struct Seen
    {
        qint64 size = -1;
        qint64 modified = -1;
        qint64 unchangedSince = 0;
    };
    QHash<QString, Seen> candidates;
    // The size and time of each photo as it was when its batch took it: a photo is sent again
    // only when it has changed since, never merely because it failed.
    QHash<QString, QPair<qint64, qint64>> taken;
    QStringList sending;
    QFileSystemWatcher *watcher = nullptr;
    QTimer rescanTimer;
    QTimer settleTimer;
    Shard shard;
};

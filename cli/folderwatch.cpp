#include "folderwatch.h"

#include "outputnames.h"
#include "outputplan.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>

namespace {

// A photo in a watched folder is sent once its size and time have stood still this long, so
// that one still being copied is never sent half-written.
constexpr int settleMs = 2000;
// Change notices can be lost; the folder is looked at this often all the same.
constexpr int rescanMs = 30 * 1000;

} // namespace

FolderWatch::FolderWatch(QObject *parent)
    : QObject(parent)
{
    clock.start();
    rescanTimer.setInterval(rescanMs);
    connect(&rescanTimer, &QTimer::timeout, this, &FolderWatch::scan);
    settleTimer.setInterval(500);
    connect(&settleTimer, &QTimer::timeout, this, &FolderWatch::settling);
}

void FolderWatch::markPhotosTaken(const QString &folder)
{
    for (const QString &photo : outputnames::photosIn(folder).photos)
        if (shard.takes(QFileInfo(photo).fileName()))
            markTaken(photo);
}

void FolderWatch::start(const QString &watched)
{
    folder = watched;
    watcher = new QFileSystemWatcher(QStringList{folder}, this);
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, &FolderWatch::scan);
    rescanTimer.start();
    scan();
}

void FolderWatch::scan()
{
    const auto entries = QDir(folder).entryInfoList(QDir::Files | QDir::CaseSensitive, QDir::Name | QDir::IgnoreCase);
    const qint64 now = clock.elapsed();
    for (const QFileInfo &entry : entries) {
        const QString source = entry.filePath();
        if (!outputnames::isPhoto(entry) || !shard.takes(entry.fileName()) || sending.contains(source))
            continue;
        const qint64 modified = entry.lastModified().toMSecsSinceEpoch();
        if (taken.value(source, {-1, -1}) == qMakePair(entry.size(), modified))
            continue;
        Seen &seen = candidates[source];
        if (seen.size != entry.size() || seen.modified != modified)
            seen = {entry.size(), modified, now};
    }
    if (!candidates.isEmpty())
        settleTimer.start();
}

QStringList FolderWatch::takeSettled(const QString &output)
{
    const qint64 now = clock.elapsed();
    QStringList ready;
    for (auto it = candidates.begin(); it != candidates.end();) {
        const QFileInfo file(it.key());
        if (!file.isFile()) {
            it = candidates.erase(it);
            continue;
        }
        // Changed since it was last seen: it is being written still.
        if (file.size() != it->size || file.lastModified().toMSecsSinceEpoch() != it->modified) {
            *it = {file.size(), file.lastModified().toMSecsSinceEpoch(), now};
        } else if (now - it->unchangedSince >= settleMs) {
            const QString result = outputnames::resultPath(it.key(), output, false);
            if (outputplan::planFor(it.key(), QFileInfo(result).absoluteFilePath()) != outputplan::Plan::Skip)
                ready << it.key();
            else
                markTaken(it.key());
            it = candidates.erase(it);
            continue;
        }
        ++it;
    }
    if (candidates.isEmpty())
        settleTimer.stop();
    if (ready.isEmpty())
        return ready;
    ready.sort(Qt::CaseInsensitive);
    for (const QString &source : ready)
        markTaken(source); // as it is now: a copy replaced while it uploads is sent again
    sending << ready;
    return ready;
}

void FolderWatch::markTaken(const QString &source)
{
    const QFileInfo file(source);
    taken.insert(source, {file.size(), file.lastModified().toMSecsSinceEpoch()});
}

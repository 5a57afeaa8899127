#pragma once

#include <QObject>
#include <QString>

class QThreadPool;

// Rebuilds a saved cut-out at the source photo's full resolution: the source's own colour
// pixels under the cut-out's alpha, scaled up with Lanczos.
class ScaleAndMix : public QObject
{
    Q_OBJECT

public:
    explicit ScaleAndMix(QObject *parent = nullptr);
    // Waits for the composites already handed over, so that none is left half-done.
    ~ScaleAndMix() override;

    // One composite, led by the calling thread; a PNG is compressed on `threads` threads
    // (0: one per core). Leaves targetFile untouched when either file is refused or cannot
    // be decoded, the cut-out has no alpha, or the target's format cannot hold alpha, and
    // then says why; empty when the composite was written.
    static QString composite(const QString &originFile, const QString &targetFile, int threads = 0);

signals:
    // Each composite's outcome, from the lane's thread: empty `failure` when it was written.
    void composited(QString originFile, QString targetFile, QString failure);

public slots:
    // Hands the composite to the compositor's own lane and returns at once, so that the
    // next upload is not held up; the lane runs composites one at a time, in order.
    void toBigPic(QString originFile, QString targetFile);

private:
    QThreadPool *lane;
};

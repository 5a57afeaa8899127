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
    // What one composite came to.
    enum Outcome {
        Written,
        SourceUnreadable,  // refused, missing, or not decodable
        CutoutUnreadable,  // the same, or without an alpha channel
        FormatHasNoAlpha,  // the target's name asks for a format that cannot hold alpha
        WriteFailed,
        LibraryFailed,     // the image library threw
    };
    Q_ENUM(Outcome)
    // The line that explains a failure; empty for Written.
    static QString describe(Outcome outcome);

    // The format a target's name asks for, by its suffix in any letter case. CutoutOnly: no
    // format the composite is written in (a .jpg, say), so the saved cut-out stays as it is.
    enum class TargetFormat { Png, Tiff, Webp, CutoutOnly };
    static TargetFormat formatOf(const QString &targetFile);

    explicit ScaleAndMix(QObject *parent = nullptr);
    // Drops the composites not yet begun (the next run makes them from the saved cut-outs,
    // without an upload) and waits only for the one under way, which is never half-written.
    ~ScaleAndMix() override;

    // One composite, led by the calling thread; a PNG is compressed on `threads` threads
    // (0: one per core). Leaves targetFile untouched unless it is Written.
    static Outcome composite(const QString &originFile, const QString &targetFile, int threads = 0);

signals:
    // Each composite's outcome, from the lane's thread.
    void composited(QString originFile, QString targetFile, ScaleAndMix::Outcome outcome);

public slots:
    // Hands the composite to the compositor's own lane and returns at once, so that the
    // next upload is not held up; the lane runs composites one at a time, in order.
    void toBigPic(QString originFile, QString targetFile);

private:
    QThreadPool *lane;
};

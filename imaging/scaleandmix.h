#pragma once

#include "outputchoices.h"
#include "presetcheck.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

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
        OtherFileFailed,   // the master is written, a file made from it is not
        OtherFileOnPhoto,  // the master is written; a file made from it would have replaced the photo
        MasterUnreadable,  // a file to make from the master, which cannot be read
    };
    Q_ENUM(Outcome)

    explicit ScaleAndMix(QObject *parent = nullptr);
    // Drops the composites not yet begun (the next run makes them from the saved cut-outs,
    // without an upload) and waits only for the one under way, which is never half-written.
    ~ScaleAndMix() override;

    // What one composite makes: the master at `target` from the photo and the service's
    // cut-out saved there, then the files the choices ask for beside it. With `fromMaster`,
    // the master is already complete, and only the other files are made from it (and the
    // master itself cleaned when clean edges are asked for and it is not yet, or given the
    // photo's own edge colours again when they are not asked for and it is cleaned).
    struct Request
    {
        QString origin;
        QString target;
        OutputChoices choices;
        bool fromMaster = false;
        // What the photo was when its batch planned it ("source=…"), kept in every file
        // written; empty: none is written, or a master keeps the one it has.
        QByteArray record;
        // Where the files beside the master go, as the engine names them; empty: not made.
        QString variantPath;
        QString maskPath;
    };
    struct Report
    {
        Outcome outcome = Written;
        QStringList written;        // the other files made, and the master when a later clean rewrote it
        bool nothingToCrop = false; // no subject: the variant is not cropped
        QString profileLeftOut;     // why the photo's colour profile is not in the results
        QVector<PresetCheck> checks; // with a preset: its file, or its lack, against the rules
    };

    // A plain composite, as toBigPic() makes one: the master alone, a PNG is compressed on `threads` threads
    // (0: one per core). The target is replaced only by a whole master: on a failure before
    // it is written, the saved cut-out stays.
    static Outcome composite(const QString &originFile, const QString &targetFile, int threads = 0);
    static Report make(const Request &request, int threads = 0);

    // The request that the next toBigPic() for this target and origin carries out, instead
    // of the plain composite; several for one target are taken in turn. Thread-safe: the
    // batch calls it before it asks for the composite.
    void expect(const Request &request);

signals:
    // Each composite's outcome, from the lane's thread.
    void composited(QString originFile, QString targetFile, ScaleAndMix::Report report);

public slots:
    // Hands the composite to the compositor's own lane and returns at once, so that the
    // next upload is not held up; the lane runs composites one at a time, in order.
    void toBigPic(QString originFile, QString targetFile);

private:
    QThreadPool *lane;
    QMutex expectedLock;
    QHash<QString, QList<Request>> expected; // by target, in the order they were asked for
};

Q_DECLARE_METATYPE(ScaleAndMix::Report)

#pragma once

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>

// One press of the start button, from the list of photos to the account at its end: which
// photos go to the service and which are already done, what became of each, and the
// summary. The window owns it and feeds it what the client and the compositor report.
class Batch : public QObject
{
    Q_OBJECT

public:
    enum class Plan { Send, Skip, Finish };

    explicit Batch(QObject *parent = nullptr);

    // Where a photo's result goes: in single-file mode the output text itself, otherwise
    // "<output folder>/<photo's file name>-no-bg.png".
    static QString resultPath(const QString &source, const QString &outputText, bool singleFile);
    // Skip when the result is newer than the photo and a PNG with alpha at the photo's own
    // upright size; Finish when it is such a PNG at another size (the service's cut-out,
    // never composited); Send otherwise. Reads headers only.
    static Plan planFor(const QString &source, const QString &result);

    // Whether a cut-out is a picture with alpha and not one opaque pixel: the service found
    // no subject. Small cut-outs only (16 megapixels at most); anything else says false.
    static bool showsNothing(const QByteArray &cutout);

    struct Start
    {
        QStringList uploads;                        // in order
        QVector<QPair<QString, QString>> composites; // (photo, result) finished without an upload
    };
    // Lists the photos that `input` names and plans each one, writing the lines of those
    // that are not sent. `redo` sends every photo again.
    Start start(const QString &input, const QString &outputText, bool redo);
    // The user stopped the batch; its account follows once the client has let go of it.
    void stop();

    void uploadFinished(const QString &source, bool succeeded, const QString &reason);
    void cutoutSaved(const QString &source);
    void saveFailed(const QString &source, const QString &line);
    void compositeFinished(const QString &source, const QString &failure);
    void uploadsEnded();

signals:
    void line(QString text);
    // Photos finished (saved, skipped or failed) of all; total 0 once the batch is over.
    void progress(int finished, int total);

private:
    struct Photo
    {
        QString source;
        Plan plan = Plan::Send;
        enum Outcome { Pending, Saved, Skipped, Failed } outcome = Pending;
        QString reason;
        bool finished = false;
        bool compositing = false;
    };
    // One start's photos. A run replaced by a newer one lives on until the client has let
    // go of it and its composites are done, and then writes its account.
    struct Run
    {
        int generation = 0;
        QVector<Photo> photos;
        bool uploadsRunning = false;
        bool stopped = false;
    };
    Run *uploadingRun();
    Photo *sentPhoto(const QString &source);
    void finishIfDone(Run &run);
    void writeAccount(const Run &run);
    void reportProgress();

    std::deque<Run> runs; // the newest last
    int generation = 0;
    // The run that asked for each composite still running, in the compositor's order.
    std::deque<int> compositeOwners;
};

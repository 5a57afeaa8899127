#pragma once

#include "bilingualtext.h"
#include "outputchoices.h"
#include "outputplan.h"
#include "removebgconn.h"
#include "presetcheck.h"
#include "scaleandmix.h"
#include "shard.h"
#include "uploadoutcome.h"

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <deque>
#include <functional>

class QThread;
class RemoveBGConn;

// What became of one photo of a batch.
struct PhotoOutcome
{
    enum Kind {
        Pending,
        Saved,     // sent, saved, and made at full size
        Finished,  // made at full size from the service's cut-out already there, without an upload
        Skipped,   // its result was already complete
        Derived,   // its master was complete: the other files made from it, without an upload
        NoSubject, // sent and saved, but the service found nothing in it: paid for, and worth a look
        Failed,
        Unsent,    // never answered: the batch was stopped, or its key refused
    };
    enum Failure { NoFailure, KeyRefused, Refused, NotAnImage, TooLarge, Stalled, Network, SaveFailed, CompositeFailed, Damaged };

    QString source;
    QString result;
    Kind kind = Pending;
    Failure failure = NoFailure;
    QString reason;      // one line, as the log and the account show it
    QString reasonForReport; // the same in the sources' language, as the JSON report keeps it
    QString explanation; // the service's own words, when it gave them
    QStringList files;   // the files made besides the result, as the output choices ask
    QVector<PresetCheck> checks; // with a preset: its file against the rules, once written
    bool fallsShort() const { return presetcheck::fallsShort(checks); }
};

// The account of one batch once nothing of it is left to do.
struct BatchAccount
{
    QVector<PhotoOutcome> photos; // every photo of the batch, in order
    bool stopped = false;
    bool keyRefused = false; // the service refused the key, or its credit ran out
    bool balanceKnown = false;
    double balanceLeft = 0;
    UploadSize size = UploadSize::Auto;
    double credits = 0; // the cut-outs the service answered with, a preview at a quarter credit
    int count(PhotoOutcome::Kind kind) const;
    int fallenShort() const;
};

// What one upload of this size costs, in credits.
double creditsPerUpload(UploadSize size);

// What a batch is about to spend, asked before its first upload.
struct SpendingQuestion
{
    int toSend = 0;
    int skipped = 0; // already complete, or made from the service's cut-outs without an upload
    double cost = 0; // one credit a photo, a quarter for a preview
    double balance = 0;
};

Q_DECLARE_METATYPE(PhotoOutcome)
Q_DECLARE_METATYPE(BatchAccount)

// One home for every batch: the photo list and each photo's plan and result, fixed when the
// batch starts; the service client and the compositor on their worker thread; saving each
// cut-out; and the account. No widget: the window and a program without a display both
// drive it. Its requests to the worker objects leave through addTask, clearTasks and
// smallToBig; a front end either forwards them as its own or calls connectWorkers().
class Batch : public QObject
{
    Q_OBJECT

public:
    // Takes the client, makes the compositor, and moves both to a worker thread of its own.
    explicit Batch(RemoveBGConn *client, QObject *parent = nullptr);
    // Ends the worker thread; uploads still in flight are abandoned, composites not yet
    // begun are left for the next run.
    ~Batch() override;

    RemoveBGConn *client() const { return uploader; }
    ScaleAndMix *compositor() const { return mixer; }
    QThread *workerThread() const { return worker; }
    void connectWorkers();

    void setRedo(bool redo) { this->redo = redo; }
    // A folder's share of its photos that this batch sends (by default all of them).
    void setShard(const Shard &shard) { this->shard = shard; }
    // The files each photo of the next batches gets besides its master, and how they are made.
    void setChoices(const OutputChoices &choices) { this->choices = choices; }
    const OutputChoices &outputChoices() const { return choices; }
    // The size asked of the service for the photos of the next batches.
    void setUploadSize(UploadSize size) { uploadSize = size; }
    UploadSize size() const { return uploadSize; }
    // Whether a batch whose photos cost more than the balance, or more than 50 photos with a
    // known balance, first asks through spendingQuestion() (off by default: a script is never asked).
    void setAsksBeforeSpending(bool asks) { asksBeforeSpending = asks; }
    // The answer to spendingQuestion(): send the batch, or send nothing of it.
    void answerSpending(bool send);
    // Whether each batch's account is written as lines when it ends (the default).
    void setWritesAccounts(bool writes) { writesAccounts = writes; }

    // Lists the photos that `input` names, fixes each one's result from `output`, and sends
    // those not already done, with `key`. A batch still running is replaced, and keeps
    // only what it has already sent.
    void start(const QString &input, const QString &output, const QString &key);
    // The same for photos already listed: each result in `output` (a folder, unless
    // `singleFile`), the photos' order kept.
    void startPhotos(const QStringList &sources, const QString &output, bool singleFile, const QString &key);
    // First: nothing more is sent, and what is in flight is finished and saved. Again:
    // what is in flight is abandoned.
    void stop();
    // Uploads sent by any batch and not yet answered and saved; -1 while the client has not
    // yet said how many a stopped batch left in flight.
    int inFlight() const;
    bool isRunning() const { return !runs.empty(); }
    // The newest batch's account as it stands, its photos not yet ended counted as unsent:
    // for a program that must end before the batch does.
    BatchAccount accountSoFar() const;

    // Whether a cut-out is a picture with alpha and not one opaque pixel: the service found
    // no subject. Small cut-outs only (16 megapixels at most); anything else says false.

signals:
    void addTask(QString fileName, QString token, bool startFlag);
    void clearTasks();
    void smallToBig(QString origin, QString target);

    void line(QString text);
    // The newest batch's photos finished of all; kept once it is over, until the next start.
    void progress(int finished, int total);
    void photoEnded(PhotoOutcome outcome);
    void finished(BatchAccount account);
    void spendingQuestion(SpendingQuestion question);
    // Uploads still in flight, as inFlight() counts them; 0: every upload sent has been
    // answered and saved.
    void inFlightChanged(int count);

private:
    struct Photo
    {
        PhotoOutcome outcome;
        outputplan::Plan plan = outputplan::Plan::Send;
        QByteArray record; // the photo as it was planned, kept in its results
        bool compositing = false;
        bool noSubject = false;
    };
    struct Run
    {
        int id = 0;
        int clientBatch = 0;     // the client's number for its uploads; 0: none sent
        OutputChoices choices;
        UploadSize size = UploadSize::Auto;
        int cutouts = 0;         // answers with a cut-out: what the service charged for
        QVector<Photo> photos;
        QVector<int> uploads;    // photo index of each upload, in the client's order
        QStringList planLines;   // written once the key check is over, after the balance
        QVector<int> finishes;   // photos to finish from their cut-outs, asked for with the lines
        QVector<int> finishEnds; // for each, how many of the plan lines come before its composite
        QVector<int> refused;    // photos refused before sending: their result's place is unsafe
        bool announced = false;
        bool uploadsEnded = false;
        bool stopped = false;
        int lateLeft = -1;       // uploads left in flight at a stop; -1 until the client says
        bool keyRefused = false;
        bool balanceKnown = false;
        double balanceLeft = 0;
        QString key;
        bool balanceAtStart = false; // the key check gave one: a stopped batch asks again at its end
        enum { NotAsked, Asked, Answered } balanceQuestion = NotAsked;
    };
    struct Composite
    {
        int id;
        int run;
        int photo;
        QString target;
    };

    Run *runWithId(int id);
    Run *runOfClientBatch(int clientBatch);
    void announce(Run &run);
    void composite(Run &run, int photo);
    void keyChecked(int clientBatch, bool balanceKnown, double balance);
    void uploadFinished(const UploadOutcome &outcome);
    void uploadsEnded(const UploadsEnded &end);
    void composited(const QString &origin, const QString &target, const ScaleAndMix::Report &report);
    void announceChoices();
    void begin(const QStringList &sources, const QString &output, bool singleFile, const QString &key);
    void save(Run &run, int index, const QByteArray &cutout, bool late, bool quiet);
    void end(Photo &photo, PhotoOutcome::Kind kind, PhotoOutcome::Failure failure = PhotoOutcome::NoFailure,
             const BilingualText &reason = {});
    void finishIfDone(int runId);
    void writeAccount(const BatchAccount &account);
    void reportProgress();
    // Lines and signals of the log's order: each waits behind the composites begun before it,
    // so that what a composite says stays with its photo's other lines.
    void say(const QString &text);
    void post(std::function<void()> signal);
    void flushHeld();

    RemoveBGConn *uploader;
    ScaleAndMix *mixer;
    QThread *worker;
    bool redo = false;
    Shard shard;
    OutputChoices choices;
    UploadSize uploadSize = UploadSize::Auto;
    bool writesAccounts = true;
    bool asksBeforeSpending = false;
    int askingFor = 0; // the client batch whose question waits for its answer
    std::deque<Run> runs; // the newest last
    int lastRunId = 0;
    int lastClientBatch = 0;
    std::deque<Composite> composites; // in the compositor's order
    int lastComposite = 0;
    struct Held
    {
        int composite = 0; // a composite still running: what follows waits for it
        std::function<void()> signal;
    };
    std::deque<Held> held;
    int resolving = 0; // the composite whose own lines go where it was begun
};

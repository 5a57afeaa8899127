#pragma once

#include "accountcheck.h"
#include "retrypolicy.h"
#include "uploadoutcome.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// The size asked of the service: the body's first field.
enum class UploadSize { Auto, Preview, Full };

// What goes up for one photo, decided from its bytes before it is sent.
struct PreparedUpload
{
    // Why nothing is sent: a source text of the context "PhotoCheck"; null to send.
    const char *refusal = nullptr;
    // The refusal is about the photo's own data (cut short, corrupt), not about the upload
    // that could not be made from it.
    bool damaged = false;
    // What is sent in the photo's place (a JPEG made from its pixels); empty: its own bytes.
    QByteArray made;
};

Q_DECLARE_METATYPE(UploadSize)

// Works a queue of (image path, API key) tasks against the cloud background-removal
// service, several uploads at once, and reports everything as text, each photo's lines
// together and in the order the photos were queued; and each photo's outcome as a typed value.
class RemoveBGConn : public QObject
{
    Q_OBJECT

public:
    // How a batch is worked. The defaults are the program's; tests shorten the waits.
    struct Settings : RetryWaits
    {
        int jobs = 1;                     // uploads in flight at once, 1 to 8
        int stallTimeoutMs = 120 * 1000;  // an upload with no byte moving for this long is given up
        int accountTimeoutMs = 10 * 1000; // the key and balance check never holds a batch longer
    };

    RemoveBGConn();
    explicit RemoveBGConn(const QUrl &endpoint);
    RemoveBGConn(const QUrl &endpoint, const Settings &settings);
    ~RemoveBGConn() override;

    // Whether each batch waits after its key check for goAhead(); before the move to the
    // worker thread only.
    void setHoldAfterKeyCheck(bool hold) { holdAfterKeyCheck = hold; }
    // Each photo's bytes, before each upload, turned into what is sent or why nothing is:
    // run on the client's thread. Before the move to the worker thread only.
    using Preparation = std::function<PreparedUpload(const QByteArray &photo, UploadSize size)>;
    void setPreparation(Preparation prepare) { preparation = std::move(prepare); }
    // The size asked for the uploads sent from now on.
    void setUploadSize(UploadSize size) { uploadSize = size; }

signals:
    void receivedData(QByteArray d, QString filePath);
    void connectError(QString e);
    void connectInfo(QString info);
    // One photo's outcome, right after its last line; a late one's (see UploadOutcome) when
    // its reply ends, with no line at all.
    void photoFinished(UploadOutcome outcome);
    // The key check of a batch is over (answered, refused, or given up), so its balance line,
    // if any, has been written. Comes before any photo's line. With holdAfterKeyCheck, nothing
    // is sent until goAhead() says so.
    void keyChecked(int batch, bool balanceKnown, double balance);
    // Nothing more will be sent for the batch: every photo reported, or the batch cleared,
    // replaced, or its key refused.
    void uploadsEnded(UploadsEnded end);
    // The answer to askBalance(); not known when the service said none in time.
    void balanceAnswered(int batch, bool known, double balance);

public slots:
    void postData(QString filepath, QString token, bool start);
    // Sends whatever may go now; true in every case.
    bool postDataReal();
    void solveReply();
    void clearData();
    // Aborts the uploads of cleared batches that were left to finish; each reports Abandoned.
    void dropInFlight();
    // After a key check held back: send the batch, or send nothing of it.
    void goAhead(int batch, bool send);
    // Asks what is left on the key once more, apart from any batch: after a stop, whose
    // batch has no end of its own to ask at.
    void askBalance(int batch, QString token);

private:
    struct Line
    {
        enum Kind { Info, Error, Data } kind;
        QString text;
        QByteArray body;
    };
    // One photo of the batch, from queued to reported.
    struct Upload
    {
        enum State { Queued, InFlight, Waiting, Settled } state = Queued;
        QString path;
        QString token;
        QNetworkReply *reply = nullptr;
        qint64 requestBytes = 0;
        int tries = 0;
        int passingFailures = 0;
        qint64 retryAt = 0;  // on `clock`, while Waiting
        std::vector<Line> unsaid; // held until every earlier photo has been reported
        UploadOutcome outcome;    // once Settled
    };
    enum class Check { None, Key, Balance };

    void begin();
    void checkAccount(Check check);
    void accountAnswered(const AccountAnswer &answer);
    // False when the photo is not sent after all: it is settled already.
    bool send(Upload &upload);
    void settle(Upload &upload, QNetworkReply *reply);
    void settleLate(QNetworkReply *reply);
    void say(Upload &upload, Line line);
    void flush();
    void sayNow(Upload &upload);
    UploadsEnded release();
    void drop(QNetworkReply *&reply);
    QNetworkAccessManager *leastBusyManager() const;

    QNetworkAccessManager *networkManager;
    QNetworkAccessManager *spareManager = nullptr; // Qt opens at most six connections per host
    QUrl endpoint;
    Settings settings;
    std::vector<Upload> uploads;
    // Uploads of cleared or replaced batches, left to finish: a service that has the photo
    // cuts it and charges for it whether or not anyone still listens.
    struct LateUpload
    {
        UploadOutcome outcome;
        QNetworkReply *reply;
    };
    std::vector<LateUpload> late;
    std::size_t reported = 0; // photos before this one have written all their lines
    int batchNumber = 0;
    bool running = false;
    bool keyRefused = false;
    bool creditSpent = false;
    bool holdAfterKeyCheck = false;
    bool waitingForGoAhead = false;
    bool hintGiven = false;
    bool balanceKnown = false;
    QString keyRefusal;
    qint64 pausedUntil = 0; // a 429 holds back the whole batch
    QElapsedTimer clock;
    Preparation preparation;
    UploadSize uploadSize = UploadSize::Auto;
    QTimer *wakeTimer; // children, so that they move to the worker thread with the client
    AccountCheck *accountCheck = nullptr; // the key check under way
    Check checking = Check::None;
    UploadsEnded pendingEnd; // while the balance is asked for again at the end
};

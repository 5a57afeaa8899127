#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

// Works a queue of (image path, API key) tasks against the cloud background-removal
// service, several uploads at once, and reports everything as text, each photo's lines
// together and in the order the photos were queued.
class RemoveBGConn : public QObject
{
    Q_OBJECT

public:
    // How a batch is worked. The defaults are the program's; tests shorten the waits.
    struct Settings
    {
        int jobs = 1;                     // uploads in flight at once, 1 to 8
        int stallTimeoutMs = 120 * 1000;  // an upload with no byte moving for this long is given up
        int retryDelaysMs[2] = {2000, 8000}; // after a passing failure (5xx, a lost connection, a stall)
        int defaultRetryAfterMs = 5000;   // a 429 without Retry-After
        int maxRetryAfterMs = 120 * 1000;
        int accountTimeoutMs = 10 * 1000; // the key and balance check never holds a batch longer
    };

    RemoveBGConn();
    explicit RemoveBGConn(const QUrl &endpoint);
    RemoveBGConn(const QUrl &endpoint, int stallTimeoutMs);
    RemoveBGConn(const QUrl &endpoint, const Settings &settings);
    ~RemoveBGConn() override;

signals:
    void receivedData(QByteArray d, QString filePath);
    void connectError(QString e);
    void connectInfo(QString info);
    // One photo's outcome, right after its last line: a cut-out handed on, or why not.
    void photoFinished(QString filePath, bool succeeded, QString reason);
    // The batch is over: every photo reported, or the batch was cleared or its key refused.
    void batchEnded();

public slots:
    void postData(QString filepath, QString token, bool start);
    // Sends whatever may go now; true in every case.
    bool postDataReal();
    void solveReply();
    void clearData();

private:
    struct Line
    {
        enum Kind { Info, Error, Data, Outcome } kind;
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
    };

    void begin();
    void checkAccount();
    void accountChecked();
    void send(Upload &upload);
    void say(Upload &upload, Line line);
    void flush();
    void sayNow(Upload &upload);
    int abandon();
    void drop(QNetworkReply *&reply);
    QNetworkAccessManager *leastBusyManager() const;

    QNetworkAccessManager *networkManager;
    QNetworkAccessManager *spareManager = nullptr; // Qt opens at most six connections per host
    QUrl endpoint;
    Settings settings;
    std::vector<Upload> uploads;
    std::size_t reported = 0; // photos before this one have written all their lines
    bool running = false;
    bool keyRefused = false;
    bool hintGiven = false;
    QString keyRefusal;
    qint64 pausedUntil = 0; // a 429 holds back the whole batch
    QElapsedTimer clock;
    QTimer *wakeTimer; // children, so that they move to the worker thread with the client
    QNetworkReply *accountReply = nullptr;
    QTimer *accountTimer;
};

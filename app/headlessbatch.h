#pragma once

#include "batch.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <memory>

class QFileSystemWatcher;
class QSocketNotifier;

// One batch with no display and no widget, for scripts and servers: the window's engine,
// its log lines on standard output, a progress line on a terminal, a JSON report, and an
// exit status; with `watch`, new photos in the folder as they come.
class HeadlessBatch : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QString input;
        QString output; // empty: the window's proposal for the input
        QString report; // a JSON file written when the batch ends; empty: none
        bool watch = false;
        bool redo = false;
        int jobs = 4;
        QUrl endpoint;
        OutputChoices choices;
    };
    // The exit statuses.
    enum Status { AllDone = 0, SomeFailed = 1, BadUsage = 2, KeyRefused = 3, Interrupted = 130 };

    HeadlessBatch(const Options &options, const QString &key, QObject *parent = nullptr);
    ~HeadlessBatch() override;

    // Runs until the batch ends (with `watch`, until a signal); returns the exit status.
    int run();

    // A stop as the stop button's; a second one abandons what is in flight and ends at once.
    void interrupt();

    static Status statusOf(const BatchAccount &account, bool interrupted);
    // The report's JSON for an account.
    static QByteArray reportOf(const BatchAccount &account, const QString &input, const QString &output, int status);

private:
    void say(const QString &line);
    void photoEnded(const PhotoOutcome &outcome);
    void batchFinished(const BatchAccount &account);
    void showProgress(bool final = false);
    void scan();
    void sendSettledPhotos();
    void end(int status);
    bool writeReport(int status);

    Options options;
    QString key;
    std::unique_ptr<Batch> batch;
    int exitStatus = AllDone;
    bool interrupted = false;
    bool ended = false;
    int interrupts = 0;
    bool progressOnTerminal = false;
    bool firstPassOver = false;
    BatchAccount session; // every photo this run, for the report and the account at a stop
    int finished = 0, failed = 0, total = 0;
    QElapsedTimer clock;
    QStringList unprintedErrors; // the client's, until a photo's end or its batch's says whose

    // Watching: each candidate's size and time, and since when they have not changed.
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
    void markTaken(const QString &source);
    QStringList sending;
    QFileSystemWatcher *watcher = nullptr;
    QTimer rescanTimer;
    QTimer settleTimer;
};

// Reads the key: the first line of `keyFile` ("-": standard input), else QUORRIN_API_KEY,
// else the one kept in the system keyring.
// Empty when there is none; `error` then says why, for standard error.
QString readApiKey(const QString &keyFile, QString *error);

// Turns SIGINT and SIGTERM into calls of `onSignal` on the main thread.
void catchStopSignals(QObject *context, std::function<void()> onSignal);

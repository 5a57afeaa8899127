#pragma once

#include "batch.h"
#include "folderwatch.h"
#include "progressline.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

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
        Shard shard; // the share of a folder this process sends
        UploadSize size = UploadSize::Auto;
        bool json = false; // standard output carries JSON Lines, not the log
    };
    // The exit statuses.
    enum Status { AllDone = 0, SomeFailed = 1, BadUsage = 2, KeyRefused = 3, FellShort = 4, Interrupted = 130 };

    HeadlessBatch(const Options &options, const QString &key, QObject *parent = nullptr);
    ~HeadlessBatch() override;

    // Runs until the batch ends (with `watch`, until a signal); returns the exit status.
    int run();

    // A stop as the stop button's; a second one abandons what is in flight and ends at once.
    void interrupt();

    static Status statusOf(const BatchAccount &account, bool interrupted);

private:
    void say(const QString &line);
    void photoEnded(const PhotoOutcome &outcome);
    void batchFinished(const BatchAccount &account);
    void sendSettledPhotos();
    void end(int status);
    void printJson(const QJsonObject &object);

    Options options;
    QString key;
    std::unique_ptr<Batch> batch;
    int exitStatus = AllDone;
    bool interrupted = false;
    bool ended = false;
    int interrupts = 0;
    bool firstPassOver = false;
    BatchAccount session; // every photo this run, for the report and the account at a stop
    ProgressLine progress;
    QStringList unprintedErrors; // the client's, until a photo's end or its batch's says whose
    FolderWatch watch;
    QStringList printedPhotos; // with --json, the photos whose line is out
};

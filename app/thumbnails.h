#pragma once

#include "reviewitems.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>

// The review's thumbnails, made from the masters on worker threads and kept in the user's
// cache folder, so that a folder opened again shows at once.
class Thumbnails : public QObject
{
    Q_OBJECT

public:
    struct Tile
    {
        QImage image; // premultiplied, with alpha; null when there is no readable master
        reviewitems::Mark mark = reviewitems::Mark::NoResult;
        bool edited = false;
        QString shortOf; // with a preset: why the file made for it falls short of its rules
    };

    // `side`: the longer side of a thumbnail, in pixels. `cacheFolder` empty: the user's.
    explicit Thumbnails(int side, const QString &cacheFolder = QString(), QObject *parent = nullptr);
    // With a preset among them, each tile also says whether the preset's file meets its rules.
    void setChoices(const OutputChoices &choices) { this->choices = choices; }
    // Drops what has not begun and waits for what has.
    ~Thumbnails() override;

    // Queues one; ready() brings it, tagged with `index`. Earlier requests come first.
    void request(int index, const reviewitems::Item &item);
    // Forgets what is queued; what is under way is reported no more.
    void cancel();
    // The tile for one master, from the cache or made now (and kept). For the workers, and
    // for a tile that must be current at once.
    Tile make(const reviewitems::Item &item) const;

signals:
    void ready(int index, Thumbnails::Tile tile);

private:
    Tile thumbnail(const reviewitems::Item &item) const;

    int side;
    QString cacheFolder;
    OutputChoices choices;
    QThreadPool workers;
    std::atomic<int> generation{0};
};

Q_DECLARE_METATYPE(Thumbnails::Tile)

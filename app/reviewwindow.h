#pragma once

#include "outputchoices.h"
#include "reviewitems.h"
#include "thumbnails.h"

#include <QHash>
#include <QThreadPool>
#include <QWidget>

class QLabel;
class QListWidget;
class QListWidgetItem;
class QStackedWidget;
class ReviewCanvas;

// A batch's results to look at and touch up: a grid of every photo's cut-out, the ones that
// want a look marked, and a large view with a brush. Saving remakes the files beside the
// master from it, without an upload.
class ReviewWindow : public QWidget
{
    Q_OBJECT

public:
    // `input` and `output` as a batch takes them; `cacheFolder` empty: the user's cache.
    ReviewWindow(const QString &input, const QString &output, const OutputChoices &choices,
                 const QString &cacheFolder = QString(), QWidget *parent = nullptr);
    ~ReviewWindow() override;

    // Why each photo of the last batch failed, by its path: shown on its tile.
    void setReasons(const QHash<QString, QString> &reasons);
    // Looks at every master again, after a batch wrote some.
    void reload();

signals:
    // Photos whose results were taken away, or never made, to be sent again now.
    void sendAgain(QStringList photos);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showTile(int index, const Thumbnails::Tile &tile);
    void openLarge(int index);
    // Back to the grid; false when the user chose to stay.
    bool leaveLarge();
    // True when nothing is left unsaved: saved, discarded, or never changed.
    bool settleStrokes();
    void save();
    void trashCurrent();
    void askToSend();
    void say(const QString &text);

    QString title;
    OutputChoices choices;
    QVector<reviewitems::Item> items;
    QHash<QString, QString> reasons;
    QVector<reviewitems::Mark> marks;
    Thumbnails thumbnails;
    QThreadPool saving; // one save at a time, off the interface's thread
    QStackedWidget *pages;
    QListWidget *grid;
    ReviewCanvas *canvas;
    QLabel *statusLine;
    int opened = -1;
};

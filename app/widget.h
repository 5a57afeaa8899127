#pragma once

#include <QByteArray>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QVector>
#include <QWidget>

#include <memory>

class Batch;
enum class UploadSize;
struct OutputChoices;
struct PreviewPhoto;
class QThread;
class RemoveBGConn;
class ReviewWindow;
class ScaleAndMix;

namespace Ui {
class Widget;
}

// The one window: collects the key and the paths, asks the engine to start and stop
// batches, and shows the log and the progress. Uploading and compositing happen on the
// engine's worker thread.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    explicit Widget(const QUrl &endpoint, QWidget *parent = nullptr);
    // With `jobs` uploads in flight at once (the other forms send one at a time).
    Widget(const QUrl &endpoint, int jobs, QWidget *parent = nullptr);
    ~Widget() override;

    // Send every photo again, even one whose result is already complete.
    void setRedo(bool redo);
    void setUploadSize(UploadSize size);
    // Sets the input field to the first of `paths`, as if it had been chosen in a dialog
    // (the output is proposed, the mode set); with several, one line says which was taken.
    // For the command line and for a drop.
    void openPaths(const QStringList &paths);
    // The choices the next batch makes: the saved ones, unless the command line gave others.
    const OutputChoices &outputChoices() const;
    // Output choices for this run alone, from the command line: they win over the saved
    // ones. When they differ from those, nothing chosen in this run is saved.
    void setOutputChoices(const OutputChoices &choices);
    // Opens the review of the input's results, as the output field names them; `standalone`
    // when it is the only window the user asked for, so that this one shows only when a
    // photo is sent again.
    void openReview(bool standalone = false);
    // Sets the output field, as typed there.
    void setOutputPath(const QString &path);

signals:
    void addTask(QString fileName, QString token, bool startFlag);
    void clearTasks();
    void smallToBig(QString origin, QString target);

private slots:
    void on_inputBtn_clicked();
    void on_outputBtn_clicked();
    void on_pushButton_4_clicked();
    void on_outputBtn_2_clicked();
    void on_matBtn_clicked();
    void on_stopBtn_clicked();
    void on_inputEdit_textChanged(const QString &arg1);
    void solveReply(const QByteArray &picRaw, const QString &filePath);
    void solveMessage(const QString &msg);

private:
    Widget(RemoveBGConn *client, QWidget *parent);
    void log(const QString &line);
    // A close during a batch first lets the uploads in flight finish; true when it must wait.
    bool holdClose();
    bool takeDrop(QEvent *event);
    void showKeyKept(bool kept);
    void showFinishing(int inFlight);
    void editOutputChoices();
    // The input's photos by name, each with its master, for the options' preview.
    QVector<PreviewPhoto> previewPhotos() const;

    bool singleFileMode = false;
    Ui::Widget *ui;
    RemoveBGConn *client;
    ScaleAndMix *compositor;
    QThread *workerThread;
    Batch *batch;
    class KeyStore *keyStore;
    class QAction *keyAction;
    bool keyKept = false;
    std::unique_ptr<OutputChoices> choices;
    QHash<QString, QString> failures; // the last batch's, by photo, for the review's tiles
    QPointer<ReviewWindow> review;
    bool choicesFromCommandLine = false;
    enum class Closing { No, Finishing, Now } closing = Closing::No;
};

#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QWidget>

class QThread;
class RemoveBGConn;
class ScaleAndMix;

namespace Ui {
class Widget;
}

// The one window: collects the key and the paths, starts and stops batches, saves each
// cut-out, and shows the log. Uploading and compositing happen on the worker thread.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    explicit Widget(const QUrl &endpoint, QWidget *parent = nullptr);
    ~Widget() override;

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

    bool singleFileMode = false;
    Ui::Widget *ui;
    RemoveBGConn *client;
    ScaleAndMix *compositor;
    QThread *workerThread;
    // Set by a stop: the thread may still be leaving its event loop, and start() on a
    // thread that has not yet finished would do nothing.
    bool workerStopping = false;
};

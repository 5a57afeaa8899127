#include "widget.h"
#include "ui_widget.h"

#include "batch.h"
#include "removebgconn.h"
#include "scaleandmix.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

Widget::Widget(QWidget *parent)
    : Widget(new RemoveBGConn, parent)
{
}

Widget::Widget(const QUrl &endpoint, QWidget *parent)
    : Widget(new RemoveBGConn(endpoint), parent)
{
}

Widget::Widget(const QUrl &endpoint, int jobs, QWidget *parent)
    : Widget(new RemoveBGConn(endpoint, [jobs] {
        RemoveBGConn::Settings settings;
        settings.jobs = jobs;
        return settings;
    }()), parent)
{
}

Widget::Widget(RemoveBGConn *client, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , client(client)
    , compositor(nullptr)
    , workerThread(new QThread)
    , batch(new Batch(this))
{
    ui->setupUi(this);
    compositor = new ScaleAndMix;

    connect(this, &Widget::addTask, client, &RemoveBGConn::postData);
    connect(client, &RemoveBGConn::connectInfo, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::connectError, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::receivedData, this, &Widget::solveReply);
    connect(this, &Widget::clearTasks, client, &RemoveBGConn::clearData);
    connect(this, &Widget::smallToBig, compositor, &ScaleAndMix::toBigPic);

    connect(client, &RemoveBGConn::photoFinished, batch, &Batch::uploadFinished);
    connect(client, &RemoveBGConn::batchEnded, batch, &Batch::uploadsEnded);
    connect(compositor, &ScaleAndMix::composited, batch,
            [this](const QString &origin, const QString &, const QString &failure) {
                batch->compositeFinished(origin, failure);
            });
    connect(batch, &Batch::line, this, &Widget::log);
    connect(batch, &Batch::progress, this, [this](int finished, int total) {
        setWindowTitle(total > 0 ? QStringLiteral("Quorrin — %1/%2").arg(finished).arg(total) : QStringLiteral("Quorrin"));
    });

    client->moveToThread(workerThread);
    compositor->moveToThread(workerThread);
}

Widget::~Widget()
{
    // The worker objects are deleted on their own thread as it ends. A thread that never
    // ran is started once so that they have one to be deleted on.
    connect(workerThread, &QThread::finished, client, &QObject::deleteLater);
    connect(workerThread, &QThread::finished, compositor, &QObject::deleteLater);
    if (!workerThread->isRunning())
        workerThread->start();
    workerThread->quit();
    workerThread->wait();
    delete workerThread;
    delete ui;
}

void Widget::setRedo(bool redo)
{
    this->redo = redo;
}

void Widget::log(const QString &line)
{
    ui->plainTextEdit->appendPlainText(line);
}

void Widget::solveMessage(const QString &msg)
{
    log(msg);
}

void Widget::on_inputBtn_clicked()
{
    ui->inputEdit->setText(QFileDialog::getOpenFileName(
        this, tr("打开文件"), QString(), tr("Images (*.png *.jpg *.JPG *.PNG)")));
}

void Widget::on_outputBtn_clicked()
{
    ui->outputEdit->setText(QFileDialog::getSaveFileName(
        this, tr("保存文件"), QString(), tr("Images (*.png *.jpg *.JPG *.PNG)")));
}

void Widget::on_pushButton_4_clicked()
{
    ui->inputEdit->setText(QFileDialog::getExistingDirectory(
        this, tr("打开输入文件夹"), QString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks));
}

void Widget::on_outputBtn_2_clicked()
{
    ui->outputEdit->setText(QFileDialog::getExistingDirectory(
        this, tr("打开输出文件夹"), QString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks));
}

void Widget::on_inputEdit_textChanged(const QString &arg1)
{
    const QFileInfo input(arg1);
    if (input.isFile()) {
        singleFileMode = true;
        ui->outputEdit->setText(QStringLiteral("%1-no-bg-small.png").arg(arg1));
    }
    if (input.isDir()) {
        singleFileMode = false;
        ui->outputEdit->setText(QStringLiteral("%1-no-bg-small").arg(arg1));
    }
}

void Widget::on_matBtn_clicked()
{
    workerThread->start(QThread::InheritPriority);

    const QString token = ui->lineEdit->text();
    const QFileInfo input(ui->inputEdit->text());
    const Batch::Start started = batch->start(ui->inputEdit->text(), ui->outputEdit->text(), redo);
    if (input.isFile() || input.isDir())
        emit clearTasks();
    for (int i = 0; i < started.uploads.size(); ++i)
        emit addTask(started.uploads.at(i), token, i == started.uploads.size() - 1);
    for (const auto &photoAndResult : started.composites)
        emit smallToBig(photoAndResult.first, photoAndResult.second);
}

void Widget::on_stopBtn_clicked()
{
    // The client aborts what is in flight, so that nothing more is paid for; the worker
    // thread goes on, to save and composite the cut-outs that had already arrived.
    emit clearTasks();
    log(QStringLiteral("已中止任务！"));
    batch->stop();
}

void Widget::solveReply(const QByteArray &picRaw, const QString &filePath)
{
    const auto fail = [&](const QString &line) {
        log(line);
        batch->saveFailed(filePath, line);
    };
    const QString outputText = ui->outputEdit->text();
    const QDir folder = singleFileMode ? QFileInfo(outputText).dir() : QDir(outputText);
    if (!folder.exists() && !folder.mkdir(folder.absolutePath())) {
        fail(QStringLiteral("创建路径失败：%1").arg(folder.absolutePath()));
        return;
    }
    const QString outputFile = Batch::resultPath(filePath, outputText, singleFileMode);

    // An empty output text would otherwise land in the file system's root (folder mode);
    // and the user's own photo is never a place to save to, however its path is spelled.
    const QFileInfo target(outputFile);
    if (outputText.isEmpty() || target.isDir()
        || (target.exists() && target.canonicalFilePath() == QFileInfo(filePath).canonicalFilePath())) {
        fail(QStringLiteral("创建文件失败：%1").arg(filePath));
        return;
    }

    QSaveFile file(outputFile);
    if (!file.open(QIODevice::WriteOnly)) {
        fail(QStringLiteral("创建文件失败：%1").arg(filePath));
        return;
    }
    if (file.write(picRaw) != picRaw.size() || !file.commit()) {
        fail(QStringLiteral("保存失败：%1").arg(filePath));
        return;
    }
    emit smallToBig(filePath, outputFile);
    batch->cutoutSaved(filePath);
    log(QStringLiteral("保存成功！"));
    if (Batch::showsNothing(picRaw))
        log(QStringLiteral("警告：服务没有在这张照片里找到主体，抠图完全透明"));
}

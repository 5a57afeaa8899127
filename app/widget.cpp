#include "widget.h"
#include "ui_widget.h"

#include "removebgconn.h"
#include "scaleandmix.h"

#include <QDebug>
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

Widget::Widget(RemoveBGConn *client, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , client(client)
    , compositor(nullptr)
    , workerThread(new QThread)
{
    ui->setupUi(this);
    compositor = new ScaleAndMix;

    connect(this, &Widget::addTask, client, &RemoveBGConn::postData);
    connect(client, &RemoveBGConn::connectInfo, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::connectError, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::receivedData, this, &Widget::solveReply);
    connect(this, &Widget::clearTasks, client, &RemoveBGConn::clearData);
    connect(this, &Widget::smallToBig, compositor, &ScaleAndMix::toBigPic);

    client->moveToThread(workerThread);
    compositor->moveToThread(workerThread);
}

Widget::~Widget()
{
    // The worker objects are deleted on their own thread as it ends. A thread that never
    // ran, or was stopped, is started once more so that they have one to be deleted on.
    if (workerStopping)
        workerThread->wait();
    connect(workerThread, &QThread::finished, client, &QObject::deleteLater);
    connect(workerThread, &QThread::finished, compositor, &QObject::deleteLater);
    if (!workerThread->isRunning())
        workerThread->start();
    workerThread->quit();
    workerThread->wait();
    delete workerThread;
    delete ui;
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
    if (workerStopping) {
        workerThread->wait();
        workerStopping = false;
    }
    workerThread->start(QThread::InheritPriority);

    const QString token = ui->lineEdit->text();
    const QFileInfo input(ui->inputEdit->text());
    if (input.isFile()) {
        emit clearTasks();
        emit addTask(input.filePath(), token, true);
    }
    if (input.isDir()) {
        qDebug() << "isDir";
        const QDir folder(input.filePath());
        const QStringList acceptedSuffixes{QStringLiteral("png"), QStringLiteral("jpg"),
                                           QStringLiteral("JPG"), QStringLiteral("PNG")};
        QStringList images;
        const auto entries = folder.entryInfoList(QDir::Files | QDir::CaseSensitive, QDir::NoSort);
        for (const QFileInfo &entry : entries) {
            if (acceptedSuffixes.contains(entry.suffix(), Qt::CaseSensitive))
                images.append(entry.filePath());
        }
        emit clearTasks();
        for (int i = 0; i < images.size(); ++i)
            emit addTask(images.at(i), token, i == images.size() - 1);
    }
}

void Widget::on_stopBtn_clicked()
{
    emit clearTasks();
    workerThread->quit();
    workerStopping = true;
    log(QStringLiteral("已中止任务！"));
}

void Widget::solveReply(const QByteArray &picRaw, const QString &filePath)
{
    const QString outputText = ui->outputEdit->text();
    const QDir folder = singleFileMode ? QFileInfo(outputText).dir() : QDir(outputText);
    if (!folder.exists() && !folder.mkdir(folder.absolutePath())) {
        log(QStringLiteral("创建路径失败：%1").arg(folder.absolutePath()));
        return;
    }
    const QString outputFile =
        singleFileMode ? outputText
                       : QStringLiteral("%1/%2-no-bg.png").arg(outputText, QFileInfo(filePath).fileName());

    // An empty output text would otherwise land in the file system's root (folder mode);
    // and the user's own photo is never a place to save to, however its path is spelled.
    const QFileInfo target(outputFile);
    if (outputText.isEmpty() || target.isDir()
        || (target.exists() && target.canonicalFilePath() == QFileInfo(filePath).canonicalFilePath())) {
        log(QStringLiteral("创建文件失败：%1").arg(filePath));
        return;
    }

    QSaveFile file(outputFile);
    if (!file.open(QIODevice::WriteOnly)) {
        log(QStringLiteral("创建文件失败：%1").arg(filePath));
        return;
    }
    if (file.write(picRaw) != picRaw.size() || !file.commit()) {
        log(QStringLiteral("保存失败：%1").arg(filePath));
        return;
    }
    emit smallToBig(filePath, outputFile);
    log(QStringLiteral("保存成功！"));
}

#include "widget.h"
#include "ui_widget.h"

#include "batch.h"
#include "removebgconn.h"
#include "scaleandmix.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>

#include <functional>

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

namespace {

// Sees the window's close events before the window does, so that the window itself keeps
// QWidget's own handlers.
class CloseFilter : public QObject
{
public:
    CloseFilter(QObject *parent, std::function<bool()> holdClose)
        : QObject(parent)
        , holdClose(std::move(holdClose))
    {
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close || !holdClose())
            return false;
        event->ignore();
        return true;
    }

private:
    std::function<bool()> holdClose;
};

} // namespace

Widget::Widget(RemoveBGConn *client, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , client(client)
    , compositor(nullptr)
    , workerThread(nullptr)
    , batch(new Batch(client, this))
{
    ui->setupUi(this);
    compositor = batch->compositor();
    workerThread = batch->workerThread();

    connect(this, &Widget::addTask, client, &RemoveBGConn::postData);
    connect(client, &RemoveBGConn::connectInfo, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::connectError, this, &Widget::solveMessage);
    connect(client, &RemoveBGConn::receivedData, this, &Widget::solveReply);
    connect(this, &Widget::clearTasks, client, &RemoveBGConn::clearData);
    connect(this, &Widget::smallToBig, compositor, &ScaleAndMix::toBigPic);

    // The engine's requests to the worker objects go out as the window's own signals.
    connect(batch, &Batch::addTask, this, &Widget::addTask);
    connect(batch, &Batch::clearTasks, this, &Widget::clearTasks);
    connect(batch, &Batch::smallToBig, this, &Widget::smallToBig);
    connect(batch, &Batch::line, this, &Widget::log);
    connect(batch, &Batch::progress, this, [this](int finished, int total) {
        if (closing == Closing::No) // a closing window says what it still waits for
            setWindowTitle(total > 0 ? QStringLiteral("Quorrin — %1/%2").arg(finished).arg(total) : QStringLiteral("Quorrin"));
    });
    connect(batch, &Batch::inFlightChanged, this, &Widget::showFinishing);
    installEventFilter(new CloseFilter(this, [this] { return holdClose(); }));
}

Widget::~Widget()
{
    delete batch;
    delete ui;
}

void Widget::setRedo(bool redo)
{
    batch->setRedo(redo);
}

bool Widget::holdClose()
{
    if (closing != Closing::No || batch->inFlight() == 0) {
        // A second close abandons what is still in flight.
        if (closing == Closing::Finishing)
            batch->stop();
        closing = Closing::Now;
        return false;
    }
    closing = Closing::Finishing;
    batch->stop();
    showFinishing(batch->inFlight());
    return true;
}

void Widget::showFinishing(int inFlight)
{
    if (closing != Closing::Finishing)
        return;
    if (inFlight == 0) {
        closing = Closing::Now;
        close();
        return;
    }
    setWindowTitle(inFlight < 0 ? QStringLiteral("Quorrin — 正在完成已发送的照片")
                                : QStringLiteral("Quorrin — 正在完成已发送的 %1 张照片").arg(inFlight));
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
        this, tr("保存文件"), QString(), tr(outputplan::saveDialogFilter)));
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
    if (input.isFile() || input.isDir()) {
        singleFileMode = input.isFile();
        ui->outputEdit->setText(outputplan::proposedOutput(arg1, singleFileMode));
    }
}

void Widget::on_matBtn_clicked()
{
    batch->start(ui->inputEdit->text(), ui->outputEdit->text(), ui->lineEdit->text());
}

void Widget::on_stopBtn_clicked()
{
    batch->stop();
}

// The engine saves each cut-out from the client's typed outcome, which follows this signal
// at once, under the result fixed when its batch started; its lines come from there.
void Widget::solveReply(const QByteArray &, const QString &)
{
}

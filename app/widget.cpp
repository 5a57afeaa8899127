#include "widget.h"
#include "ui_widget.h"

#include "batch.h"
#include "desktopnotifier.h"
#include "keystore.h"
#include "outputchoices.h"
#include "outputnames.h"
#include "outputoptionsdialog.h"
#include "removebgconn.h"
#include "reviewwindow.h"
#include "scaleandmix.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QFileDialog>
#include <QFileInfo>
#include <QMap>
#include <QSettings>
#include <QStyle>

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

// Sees the window's close and drop events before the window does, so that the window
// itself keeps QWidget's own handlers.
class WindowEventFilter : public QObject
{
public:
    WindowEventFilter(QObject *parent, std::function<bool()> holdClose, std::function<bool(QEvent *)> takeDrop)
        : QObject(parent)
        , holdClose(std::move(holdClose))
        , takeDrop(std::move(takeDrop))
    {
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove || event->type() == QEvent::Drop)
            return takeDrop(event);
        if (event->type() != QEvent::Close || !holdClose())
            return false;
        event->ignore();
        return true;
    }

private:
    std::function<bool()> holdClose;
    std::function<bool(QEvent *)> takeDrop;
};

// The local files and folders a drop carries.
QStringList localPaths(const QMimeData *data)
{
    QStringList paths;
    if (data)
        for (const QUrl &url : data->urls())
            if (url.isLocalFile())
                paths << url.toLocalFile();
    return paths;
}

// The output choices are the only settings the window keeps: one key an option, its value
// as the command line gives it, and no key for a default.
OutputChoices savedChoices()
{
    QSettings settings(QStringLiteral("quorrin"), QStringLiteral("quorrin"));
    settings.beginGroup(QStringLiteral("output"));
    OutputChoices choices;
    for (const QString &option : OutputChoices::optionNames()) {
        // A value edited by hand into something wrong is left out, not half taken.
        OutputChoices read = choices;
        if (settings.contains(option) && read.set(option, settings.value(option).toString()).isEmpty())
            choices = read;
    }
    return choices;
}

// Empty when saved, otherwise why not.
QString saveChoices(const OutputChoices &choices)
{
    QSettings settings(QStringLiteral("quorrin"), QStringLiteral("quorrin"));
    settings.beginGroup(QStringLiteral("output"));
    QMap<QString, QString> values;
    for (const QString &argument : choices.arguments())
        values.insert(argument.mid(2).section(QLatin1Char('='), 0, 0), argument.section(QLatin1Char('='), 1));
    for (const QString &option : OutputChoices::optionNames()) {
        if (values.contains(option))
            settings.setValue(option, values.value(option));
        else
            settings.remove(option);
    }
    settings.sync();
    return settings.status() == QSettings::NoError ? QString() : settings.fileName();
}

} // namespace

Widget::Widget(RemoveBGConn *client, QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , client(client)
    , compositor(nullptr)
    , workerThread(nullptr)
    , batch(new Batch(client, this))
    , choices(std::make_unique<OutputChoices>(savedChoices()))
{
    ui->setupUi(this);
    batch->setChoices(*choices);
    compositor = batch->compositor();
    workerThread = batch->workerThread();

    connect(this, &Widget::addTask, client, &RemoveBGConn::postData);
    connect(client, &RemoveBGConn::receivedData, this, &Widget::solveReply);
    connect(this, &Widget::clearTasks, client, &RemoveBGConn::clearData);
    connect(this, &Widget::smallToBig, compositor, &ScaleAndMix::toBigPic);

    // The engine's requests to the worker objects go out as the window's own signals.
    connect(batch, &Batch::addTask, this, &Widget::addTask);
    connect(batch, &Batch::clearTasks, this, &Widget::clearTasks);
    connect(batch, &Batch::smallToBig, this, &Widget::smallToBig);
    // The client's texts come through the engine, which keeps each photo's lines together.
    connect(batch, &Batch::line, this, &Widget::solveMessage);
    auto *desktop = new DesktopNotifier(30 * 1000, this);
    connect(batch, &Batch::progress, desktop, &DesktopNotifier::progress);
    connect(batch, &Batch::finished, this, [this, desktop](const BatchAccount &account) {
        // The newest batch's end; an older one ending behind it leaves the task bar to it.
        if (batch->isRunning())
            return;
        desktop->batchEnded(account.count(PhotoOutcome::Saved) + account.count(PhotoOutcome::Finished)
                                + account.count(PhotoOutcome::Derived) + account.count(PhotoOutcome::NoSubject),
                            account.count(PhotoOutcome::Skipped), account.count(PhotoOutcome::Failed), isActiveWindow(),
                            account.photos.isEmpty() ? QString() : QFileInfo(account.photos.first().result).absolutePath());
    });
    connect(batch, &Batch::finished, this, [this](const BatchAccount &account) {
        for (const PhotoOutcome &photo : account.photos)
            if (photo.kind == PhotoOutcome::Failed || photo.kind == PhotoOutcome::Unsent)
                failures.insert(photo.source, photo.reason);
            else
                failures.remove(photo.source);
        if (review) {
            review->setReasons(failures);
            review->reload();
        }
        const bool madeSome = std::any_of(account.photos.begin(), account.photos.end(), [](const PhotoOutcome &photo) {
            return photo.kind != PhotoOutcome::Failed && photo.kind != PhotoOutcome::Unsent;
        });
        if (madeSome && !batch->isRunning())
            log(tr("审阅和修改这批结果：按 Ctrl+R，或点输出框右侧的“审阅结果”"));
    });
    connect(desktop, &DesktopNotifier::reviewAsked, this, [this] { openReview(); });
    connect(batch, &Batch::addTask, desktop, [desktop](const QString &, const QString &, bool last) {
        if (last)
            desktop->batchStarted();
    });
    connect(batch, &Batch::progress, this, [this](int finished, int total) {
        if (closing == Closing::No) // a closing window says what it still waits for
            setWindowTitle(total > 0 ? QStringLiteral("Quorrin — %1/%2").arg(finished).arg(total) : QStringLiteral("Quorrin"));
    });
    connect(batch, &Batch::inFlightChanged, this, &Widget::showFinishing);
    batch->setAsksBeforeSpending(true);
    connect(batch, &Batch::spendingQuestion, this, [this](const SpendingQuestion &question) {
        const auto answer = QMessageBox::question(
            this, tr("发送前确认"),
            tr("将发送 %1 张照片（另有 %2 张不必发送），约需 %3 点额度；账户余额：%4。\n现在发送吗？")
                .arg(question.toSend)
                .arg(question.skipped)
                .arg(question.cost)
                .arg(QString::number(question.balance, 'g', 15)));
        batch->answerSpending(answer == QMessageBox::Yes);
    });
    // A trailing action in the Token field keeps the key in the system keyring, or forgets it.
    keyStore = new KeyStore(this);
    keyAction = ui->lineEdit->addAction(QIcon(), QLineEdit::TrailingPosition);
    showKeyKept(false);
    connect(keyAction, &QAction::triggered, this, [this] {
        if (keyKept) {
            keyStore->forget();
        } else if (ui->lineEdit->text().isEmpty()) {
            log(tr("请先填写密钥，再把它保存在系统钥匙串里"));
        } else {
            keyStore->keep(ui->lineEdit->text());
        }
    });
    connect(keyStore, &KeyStore::kept, this, [this](bool done, const QString &error) {
        log(done ? tr("密钥已保存在系统钥匙串里，下次启动时自动填入")
                 : tr("没有可用的系统钥匙串，密钥没有保存：%1").arg(error));
        if (done)
            showKeyKept(true);
    });
    connect(keyStore, &KeyStore::forgotten, this, [this](bool done, const QString &error) {
        log(done ? tr("已从系统钥匙串删除密钥") : tr("没有可用的系统钥匙串：%1").arg(error));
        if (done)
            showKeyKept(false);
    });
    connect(keyStore, &KeyStore::keyRead, this, [this](const QString &key) {
        if (key.isEmpty())
            return;
        if (ui->lineEdit->text().isEmpty())
            ui->lineEdit->setText(key);
        showKeyKept(true);
    });
    keyStore->read();

    auto *optionsAction = ui->outputEdit->addAction(
        QIcon::fromTheme(QStringLiteral("document-properties"), style()->standardIcon(QStyle::SP_FileDialogDetailedView)),
        QLineEdit::TrailingPosition);
    optionsAction->setObjectName(QStringLiteral("outputOptions"));
    optionsAction->setText(tr("输出选项"));
    optionsAction->setToolTip(optionsAction->text());
    connect(optionsAction, &QAction::triggered, this, &Widget::editOutputChoices);
    auto *reviewAction = ui->outputEdit->addAction(
        QIcon::fromTheme(QStringLiteral("view-preview"), style()->standardIcon(QStyle::SP_FileDialogContentsView)),
        QLineEdit::TrailingPosition);
    reviewAction->setObjectName(QStringLiteral("reviewResults"));
    reviewAction->setText(tr("审阅结果"));
    reviewAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    reviewAction->setToolTip(tr("审阅结果（Ctrl+R）"));
    connect(reviewAction, &QAction::triggered, this, [this] { openReview(); });

    setAcceptDrops(true);
    installEventFilter(new WindowEventFilter(this, [this] { return holdClose(); }, [this](QEvent *event) { return takeDrop(event); }));
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

void Widget::setUploadSize(UploadSize size)
{
    batch->setUploadSize(size);
}

const OutputChoices &Widget::outputChoices() const
{
    return *choices;
}

void Widget::setOutputChoices(const OutputChoices &choices)
{
    // The saved choices given back, as when the command line names none, are no override.
    choicesFromCommandLine = choicesFromCommandLine || choices != *this->choices;
    *this->choices = choices;
    batch->setChoices(choices);
}

void Widget::setOutputPath(const QString &path)
{
    ui->outputEdit->setText(path);
}

void Widget::openReview(bool standalone)
{
    if (review) {
        review->show();
        review->raise();
        review->activateWindow();
        return;
    }
    review = new ReviewWindow(ui->inputEdit->text(), ui->outputEdit->text(), *choices);
    review->setAttribute(Qt::WA_DeleteOnClose);
    review->setReasons(failures);
    connect(review, &ReviewWindow::sendAgain, this, [this](const QStringList &photos) {
        show();
        raise();
        if (ui->lineEdit->text().isEmpty()) {
            log(tr("请先填写密钥，再重新发送"));
            return;
        }
        batch->setChoices(*choices);
        batch->startPhotos(photos, ui->outputEdit->text(), singleFileMode, ui->lineEdit->text());
    });
    // Standing alone, the review is the program: closing it ends it unless this window shows.
    if (standalone)
        connect(review, &QObject::destroyed, this, [this] {
            if (!isVisible())
                close();
        });
    review->show();
}

void Widget::editOutputChoices()
{
    OutputOptionsDialog dialog(*choices, previewPhotos(), this);
    dialog.setUploadSize(batch->size());
    if (dialog.exec() != QDialog::Accepted)
        return;
    batch->setUploadSize(dialog.uploadSize());
    if (dialog.choices() == *choices)
        return;
    *choices = dialog.choices();
    if (choicesFromCommandLine) {
        log(tr("输出选项由命令行给出，这次的更改只用于本次运行，不会保存"));
        return;
    }
    const QString unsaved = saveChoices(*choices);
    if (!unsaved.isEmpty())
        log(tr("无法保存输出选项：%1").arg(unsaved));
}

QVector<PreviewPhoto> Widget::previewPhotos() const
{
    const QFileInfo input(ui->inputEdit->text());
    QStringList sources;
    if (input.isFile()) {
        sources << input.filePath();
    } else if (input.isDir()) {
        // By name: the folder's own order changes from one file system to another.
        sources = outputnames::photosIn(input.filePath(), QDir::Name | QDir::IgnoreCase).photos;
    }
    QVector<PreviewPhoto> photos;
    for (const QString &source : sources)
        photos.append({source, outputnames::resultPath(source, ui->outputEdit->text(), singleFileMode)});
    return photos;
}

void Widget::showKeyKept(bool kept)
{
    keyKept = kept;
    keyAction->setText(kept ? tr("从系统钥匙串删除密钥") : tr("把密钥保存在系统钥匙串里"));
    keyAction->setToolTip(keyAction->text());
    // The style's own icons where the desktop has no icon theme, so that the button shows.
    keyAction->setIcon(kept ? QIcon::fromTheme(QStringLiteral("edit-delete"), style()->standardIcon(QStyle::SP_TrashIcon))
                            : QIcon::fromTheme(QStringLiteral("document-save"), style()->standardIcon(QStyle::SP_DialogSaveButton)));
}

void Widget::openPaths(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    const QString taken = QFileInfo(paths.first()).absoluteFilePath();
    if (paths.size() > 1)
        log(tr("收到 %1 个文件或文件夹，只取第一个：%2").arg(paths.size()).arg(taken));
    ui->inputEdit->setText(taken);
}

bool Widget::takeDrop(QEvent *event)
{
    auto *drop = static_cast<QDropEvent *>(event); // QDragEnterEvent and QDragMoveEvent are drops too
    const QStringList paths = localPaths(drop->mimeData());
    if (paths.isEmpty())
        return false;
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop)
        openPaths(paths);
    return true;
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
    setWindowTitle(inFlight < 0 ? tr("Quorrin — 正在完成已发送的照片")
                                : tr("Quorrin — 正在完成已发送的 %1 张照片").arg(inFlight));
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
        this, tr("打开文件"), QString(), tr("Images (*.png *.jpg *.jpeg *.heic *.heif *.avif *.PNG *.JPG *.JPEG *.HEIC *.HEIF *.AVIF)")));
}

void Widget::on_outputBtn_clicked()
{
    ui->outputEdit->setText(QFileDialog::getSaveFileName(
        this, tr("保存文件"), QString(), tr(outputnames::saveDialogFilter)));
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
        ui->outputEdit->setText(outputnames::proposedOutput(arg1, singleFileMode));
    }
}

void Widget::on_matBtn_clicked()
{
    batch->setChoices(*choices);
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

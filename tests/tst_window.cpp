#include "batch.h"
#include "eventlog.h"
#include "fakeservice.h"
#include "keystore.h"
#include "outputoptionsdialog.h"
#include "programrun.h"
#include "removebgconn.h"
#include "startup.h"
#include "testimages.h"
#include "widget.h"
#include "windowlog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QListWidget>
#include <QtTest>

#include <httplib.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <csignal>
#include <sys/resource.h>

namespace {

QStringList warningsSeen;

void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        warningsSeen << message;
}

template<typename T>
T *child(QWidget *window, const char *name)
{
    auto *found = window->findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no %s in the window", name);
    return found;
}

// An empty first paragraph fills the empty log's first line, so it shows as nothing.
QStringList asShown(QStringList lines)
{
    if (!lines.isEmpty() && lines.first().isEmpty())
        lines.removeFirst();
    return lines;
}

// The lines one image adds to the log when it is sent, answered and saved.
QStringList savedImageLines(const QString &path)
{
    return {QString(), path, QStringLiteral("正在发送..."), QStringLiteral("发送完成！正在接收..."),
            QStringLiteral("接收完成！"), QStringLiteral("保存成功！")};
}

const QStringList allDoneLines{QString(), QStringLiteral("全部完成！")};

// The account at the end of a batch: its counts, then each failure or the line saying none.
QStringList accountLines(const QString &counts, const QStringList &failures = {})
{
    return QStringList{counts} << (failures.isEmpty() ? QStringList{QStringLiteral("没有失败的照片。")} : failures);
}

// A composite that failed, as its photo's line and as its line in the account.
const QString compositeFailed = QStringLiteral("未能生成原尺寸图（无法读取原图），已保留服务的小图");

const QString reviewHint = QStringLiteral("审阅和修改这批结果：按 Ctrl+R，或点输出框右侧的“审阅结果”");

// The log once the engine has ended `batches` batches. A composite's own line comes
// whenever the composite ends, so it is left out here; the account lists it all the same.
QStringList settledLog(QWidget *window, int batches = 1)
{
    auto *spy = window->findChild<QSignalSpy *>(QStringLiteral("accounts"));
    if (!QTest::qWaitFor([&] { return spy->size() >= batches; }, 10000)) {
        QTest::qFail("the engine did not end every batch", __FILE__, __LINE__);
        return {};
    }
    QStringList lines = windowLog(window);
    // So is the way to the review after an account: cutoutWithNothingInItIsCountedApart sees it.
    lines.erase(std::remove_if(lines.begin(), lines.end(), [](const QString &line) {
                    return (line.contains(QStringLiteral("：未能生成原尺寸图")) && !line.startsWith(QStringLiteral("失败：")))
                           || line == reviewHint;
                }),
                lines.end());
    return lines;
}

// Runs `handle` on the next modal dialog of that class as soon as it is shown; a row that
// expects none leaves it waiting, and it goes with `owner`.
template<typename Modal>
void onNextModal(QObject *owner, std::function<void(Modal *)> handle)
{
    auto *timer = new QTimer(owner);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, handle] {
        if (auto *modal = qobject_cast<Modal *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            handle(modal);
        }
    });
    timer->start();
}

// A result already there, newer than its photo; its folder made when missing.
bool writeResult(const QString &result, const QByteArray &bytes)
{
    QFile file(result);
    return QDir().mkpath(QFileInfo(result).path()) && writeBytes(result, bytes) && file.open(QIODevice::Append)
           && file.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime);
}

// Lowers the largest file this process may write, as a full disk would.
struct FileSizeLimit
{
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void formMatchesTheDesign();
    void freshWindow();
    void messagesBecomeOneParagraphEach();

    void folderStartSendsAcceptedImagesInOrder();
    void fileStartSendsThatFileWithTheStartFlag();
    void missingInputSaysSoAndSendsNothing();
    void stopOnAFreshWindow();
    void aStartDuringABatchKeepsWhatItSent_data();
    void aStartDuringABatchKeepsWhatItSent();
    void stopAndClose_data();
    void stopAndClose();
    void aStopDuringTheKeyCheckStillWritesTheAccount();
    void aStopAfterTheUploadsLeavesTheAccountWhole();
    void theOutputIsFixedWhenTheBatchStarts();
    void aWordBeforeSpending_data();
    void aWordBeforeSpending();
    void destroyingDuringAnUploadIsClean();
    void destroyingANeverStartedWindowIsClean();

    void pathsOpenedOrDropped_data();
    void pathsOpenedOrDropped();
    void theLogPaneTakesTheHeight();
    void typingAPathProposesAtEveryExistingPrefix();
    void trailingSlashProposesAFolderInside();
    void dialogs_data();
    void dialogs();
    void outputChosenAfterInputIsKept();

    void saving_data();
    void saving();
    void cutoutWithNothingInItIsCountedApart_data();
    void cutoutWithNothingInItIsCountedApart();

    void resultsAlreadyThere_data();
    void resultsAlreadyThere();
    void accountOfABatchWithTwoFailures();

    void qtTranslationsFollowTheLocale_data();
    void qtTranslationsFollowTheLocale();
    void ownTranslationForTheFirstLanguage_data();
    void ownTranslationForTheFirstLanguage();
    void textsFollowTheSystemLanguage_data();
    void textsFollowTheSystemLanguage();
    void headlessLinesAreTheWindows();

    void outputOptions_data();
    void outputOptions();
    void outputChoicesFromTheSettings();
    void commandLineOutputChoicesAreNotSaved();
    void theUploadSizeIsTheRunsAlone();
    void outputOptionsPreview_data();
    void outputOptionsPreview();

private:
    // Every account the window's engine writes, as a spy that settledLog() finds by name.
    void watchAccounts()
    {
        auto *spy = new QSignalSpy(window->findChild<Batch *>(), &Batch::finished);
        spy->setParent(window.get());
        spy->setObjectName(QStringLiteral("accounts"));
    }
    BatchAccount account(int index = 0) { return window->findChild<QSignalSpy *>(QStringLiteral("accounts"))->at(index).at(0).value<BatchAccount>(); }
    // Runs `handle` on the output options dialog, opened from the output field's action.
    void withOutputOptions(std::function<void(OutputOptionsDialog *)> handle)
    {
        onNextModal<OutputOptionsDialog>(window.get(), handle);
        window->findChild<QAction *>(QStringLiteral("outputOptions"))->trigger();
    }
    QStringList batchChoices() { return window->findChild<Batch *>()->outputChoices().arguments(); }
    QTemporaryDir config; // the settings' home
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeService> service;
    std::unique_ptr<Widget> window;
    QString path(const QString &name) const { return dir->filePath(name); }
    void setText(const char *field, const QString &text) { child<QLineEdit>(window.get(), field)->setText(text); }
    QString text(const char *field) { return child<QLineEdit>(window.get(), field)->text(); }
    void click(const char *button) { QTest::mouseClick(child<QPushButton>(window.get(), button), Qt::LeftButton); }
};

QString settingsFile()
{
    return QSettings(QStringLiteral("quorrin"), QStringLiteral("quorrin")).fileName();
}

void TestWindow::initTestCase()
{
    // The window's settings, and the real program's, never touch the real home.
    QVERIFY(config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QCOMPARE(settingsFile(), config.filePath(QStringLiteral("quorrin/quorrin.conf")));
}

void TestWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    service = std::make_unique<FakeService>();
    window = std::make_unique<Widget>(service->endpoint());
    watchAccounts();
    warningsSeen.clear();
}

void TestWindow::cleanup()
{
    window.reset();
    service.reset();
    QFile::remove(settingsFile());
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    stopAfterAFailedRow();
}

// The form as the code and the display test know it: a layout is "name[items]", a widget
// "name:class", then its caption if it has one.
QString formTree(const QLayout *layout)
{
    QStringList items;
    for (int i = 0; i < layout->count(); ++i) {
        if (const QLayout *inner = layout->itemAt(i)->layout()) {
            items << formTree(inner);
            continue;
        }
        const QWidget *widget = layout->itemAt(i)->widget();
        const QString caption = widget->property("text").toString(); // a label's or a button's
        items << widget->objectName() + QLatin1Char(':') + QLatin1String(widget->metaObject()->className())
                     + (caption.isEmpty() ? QString() : QLatin1Char(':') + caption);
    }
    return layout->objectName() + QLatin1Char('[') + items.join(QLatin1Char(' ')) + QLatin1Char(']');
}

void TestWindow::formMatchesTheDesign()
{
    QCOMPARE(formTree(window->layout()),
             QStringLiteral("verticalLayout_4[horizontalLayout_4[verticalLayout["
                            "horizontalLayout_2[label:QLabel:Token lineEdit:QLineEdit] "
                            "horizontalLayout[inputBtn_2:QLabel:输入路径 inputEdit:QLineEdit inputBtn:QPushButton:文件 "
                            "pushButton_4:QPushButton:文件夹] "
                            "horizontalLayout_3[label_3:QLabel:输出路径 outputEdit:QLineEdit outputBtn:QPushButton:文件 "
                            "outputBtn_2:QPushButton:文件夹]] "
                            "verticalLayout_2[matBtn:QPushButton:一键抠图 stopBtn:QPushButton:中止]] "
                            "verticalLayout_3[plainTextEdit:QPlainTextEdit]]"));
    // Every widget is the window's own child, and there are no others.
    QCOMPARE(window->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).size(), 13);
    // The display test presses the start button by Tab order alone.
    QStringList order;
    for (QWidget *widget = child<QLineEdit>(window.get(), "lineEdit"); order.size() < 10; widget = widget->nextInFocusChain())
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
    QCOMPARE(order, QStringList({"lineEdit", "inputEdit", "inputBtn", "pushButton_4", "outputEdit", "outputBtn", "outputBtn_2",
                                 "matBtn", "stopBtn", "plainTextEdit"}));
}

void TestWindow::freshWindow()
{
    QCOMPARE(window->objectName(), QStringLiteral("Widget"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Quorrin"));
    QCOMPARE(window->size(), QSize(737, 311));
    for (const char *name : {"matBtn", "stopBtn"}) {
        const QSizePolicy policy = child<QPushButton>(window.get(), name)->sizePolicy();
        QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(policy.verticalPolicy(), QSizePolicy::Expanding);
    }
    for (const char *field : {"lineEdit", "inputEdit", "outputEdit"})
        QVERIFY(text(field).isEmpty());
    QVERIFY(windowLog(window.get()).isEmpty());
    const Batch *batch = window->findChild<Batch *>();
    QCOMPARE(batch->client()->thread(), batch->workerThread());
    QCOMPARE(batch->compositor()->thread(), batch->workerThread());
    // The fields' buttons show an icon where the desktop has no icon theme, a key kept or not.
    for (bool kept : {false, true}) {
        if (kept)
            emit window->findChild<KeyStore *>()->keyRead(QStringLiteral("kept key"));
        for (const char *field : {"lineEdit", "outputEdit"})
            for (const QAction *action : child<QLineEdit>(window.get(), field)->actions())
                QVERIFY2(!action->icon().isNull(), qPrintable(action->text()));
    }
}

void TestWindow::messagesBecomeOneParagraphEach()
{
    for (const QString &message : {QStringLiteral("first"), QString(), QStringLiteral("third")})
        QMetaObject::invokeMethod(window.get(), "solveMessage", Q_ARG(QString, message));
    QCOMPARE(windowLog(window.get()), QStringList({"first", "", "third"}));
}

void TestWindow::folderStartSendsAcceptedImagesInOrder()
{
    const QString folder = path(QStringLiteral("pics"));
    QDir().mkpath(folder + QStringLiteral("/h.png"));
    for (const char *name : {"b.JPG", "a.png", "C.png", "d.Png", "e.jpeg", "f.txt", "g", "x.png.bak", "a.png-no-bg.png",
                             "z.jpg-no-bg-small.png", "Y-NO-BG.PNG"})
        QVERIFY(writeBytes(folder + QLatin1Char('/') + QLatin1String(name), name));

    QSignalSpy clears(window.get(), &Widget::clearTasks);
    QSignalSpy tasks(window.get(), &Widget::addTask);
    setText("lineEdit", QStringLiteral("the key"));
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");

    QCOMPARE(clears.size(), 1);
    const QStringList names{"a.png", "b.JPG", "C.png", "d.Png", "e.jpeg"};
    QCOMPARE(tasks.size(), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(tasks.at(i).at(0).toString(), folder + QLatin1Char('/') + names.at(i));
        QCOMPARE(tasks.at(i).at(1).toString(), QStringLiteral("the key"));
        QCOMPARE(tasks.at(i).at(2).toBool(), i == names.size() - 1);
    }

    // The sources are no pictures, so every composite fails, and the account says so.
    QStringList expected{QStringLiteral("文件夹里另有 6 个文件不是 png、jpg 或 jpeg 照片（其中 3 个是本程序的结果），不会发送")};
    QStringList failures;
    for (const QString &name : names) {
        expected << savedImageLines(folder + QLatin1Char('/') + name);
        failures << QStringLiteral("失败：%1：%2").arg(name, compositeFailed);
    }
    expected << allDoneLines << accountLines(QStringLiteral("本批共 5 张：保存 0 张，跳过 0 张，失败 5 张"), failures);
    QCOMPARE(settledLog(window.get()), expected);

    const auto uploads = service->uploads();
    QCOMPARE(int(uploads.size()), names.size());
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(uploads[i].imageBytes(), names.at(i).toUtf8());
        QCOMPARE(uploads[i].apiKey, std::string("the key"));
        QCOMPARE(readBytes(folder + QStringLiteral("-no-bg-small/") + names.at(i) + QStringLiteral("-no-bg.png")),
                 fakeCutout);
    }
}

void TestWindow::fileStartSendsThatFileWithTheStartFlag()
{
    const QString notes = path(QStringLiteral("notes.txt"));
    QVERIFY(writeBytes(notes, "some notes"));
    QSignalSpy tasks(window.get(), &Widget::addTask);
    setText("inputEdit", notes);
    click("matBtn");
    QCOMPARE(tasks.size(), 1);
    QCOMPARE(tasks.at(0), QVariantList({notes, QString(), true}));
    QCOMPARE(settledLog(window.get()), asShown(savedImageLines(notes) << allDoneLines
                                                << accountLines(QStringLiteral("本批共 1 张：保存 0 张，跳过 0 张，失败 1 张"),
                                                                {QStringLiteral("失败：notes.txt：") + compositeFailed})));
    QVERIFY(windowLog(window.get()).contains(QStringLiteral("notes.txt：") + compositeFailed));
    QCOMPARE(service->uploads().front().imageBytes(), QByteArray("some notes"));
    QCOMPARE(readBytes(notes + QStringLiteral("-no-bg-small.png")), fakeCutout);
}

void TestWindow::missingInputSaysSoAndSendsNothing()
{
    QSignalSpy clears(window.get(), &Widget::clearTasks);
    QSignalSpy tasks(window.get(), &Widget::addTask);
    for (const QString &input : {QString(), path(QStringLiteral("nothing-here"))}) {
        setText("inputEdit", input);
        click("matBtn");
    }
    QVERIFY(QDir(path(QStringLiteral("empty"))).mkpath(QStringLiteral(".")));
    QVERIFY(writeBytes(path(QStringLiteral("empty/notes.txt")), "no photo"));
    setText("inputEdit", path(QStringLiteral("empty")));
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    QCOMPARE(clears.size(), 1);
    QCOMPARE(tasks.size(), 0);
    // The worker thread runs all the same, as after every press.
    QVERIFY(window->findChild<Batch *>()->workerThread()->isRunning());
    QCOMPARE(windowLog(window.get()), QStringList({"请先填写输入路径", "输入路径不存在：" + path(QStringLiteral("nothing-here")),
                                                  "文件夹里没有可发送的照片（png、jpg、jpeg）：" + path(QStringLiteral("empty"))}));
    QCOMPARE(window->windowTitle(), QStringLiteral("Quorrin"));
}

void TestWindow::stopOnAFreshWindow()
{
    QSignalSpy clears(window.get(), &Widget::clearTasks);
    click("stopBtn");
    QCOMPARE(clears.size(), 1);
    QCOMPARE(windowLog(window.get()), QStringList{QStringLiteral("已中止任务！")});
}

void TestWindow::aStartDuringABatchKeepsWhatItSent_data()
{
    QTest::addColumn<bool>("stopFirst");
    QTest::newRow("stop, then start another") << true;
    QTest::newRow("start another at once") << false;
}

void TestWindow::aStartDuringABatchKeepsWhatItSent()
{
    QFETCH(bool, stopFirst);
    const QString old = path(QStringLiteral("old.png"));
    const QString fresh = path(QStringLiteral("new.png"));
    QVERIFY(writeBytes(old, "old"));
    QVERIFY(writeBytes(fresh, "new"));
    service->holdRequest(0);

    setText("inputEdit", old);
    click("matBtn");
    QTRY_COMPARE(service->uploadCount(), 1);
    if (stopFirst)
        click("stopBtn");
    // The new input proposes a new output; the old photo's result stays where it was fixed.
    setText("inputEdit", fresh);
    click("matBtn");

    QTRY_COMPARE(service->uploadCount(), 2);
    const QStringList newLog = settledLog(window.get());
    service->release();
    const QStringList log = settledLog(window.get(), 2);
    QCOMPARE(service->uploads().back().imageBytes(), QByteArray("new"));
    // The first batch's one photo was already with the service: it is saved when it comes,
    // under its own result, with no line among the new batch's, and its account ends it.
    QStringList expected = QStringList{QString(), old, QStringLiteral("正在发送...")};
    if (stopFirst)
        expected << QStringLiteral("已中止任务！");
    expected << savedImageLines(fresh) << allDoneLines
             << accountLines(QStringLiteral("本批共 1 张：保存 0 张，跳过 0 张，失败 1 张"),
                             {QStringLiteral("失败：new.png：") + compositeFailed});
    QCOMPARE(newLog, asShown(expected));
    QCOMPARE(log, asShown(expected) << QStringLiteral("old.png：保存成功！")
                                    << accountLines(QStringLiteral("本批已中止，共 1 张：保存 0 张，跳过 0 张，失败 1 张"),
                                                    {QStringLiteral("失败：old.png：") + compositeFailed}));
    QCOMPARE(readBytes(old + QStringLiteral("-no-bg-small.png")), fakeCutout);
    QCOMPARE(service->uploadCount(), 2);
}

void TestWindow::stopAndClose_data()
{
    QTest::addColumn<QString>("action"); // "stop" or "close"
    QTest::addColumn<bool>("twice");
    QTest::newRow("a stop finishes what is in flight") << "stop" << false;
    QTest::newRow("a second stop abandons it") << "stop" << true;
    QTest::newRow("a close finishes it, then closes") << "close" << false;
    QTest::newRow("a second close closes at once") << "close" << true;
}

void TestWindow::stopAndClose()
{
    QFETCH(QString, action);
    QFETCH(bool, twice);
    const QString folder = path(QStringLiteral("three"));
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 3; ++i)
        writeImage(folder + QStringLiteral("/%1.jpg").arg(QChar('a' + i)), photoLike(40, 30, 3, i));
    const std::string cutout = encode(cutoutLike(10, 8), ".png").toStdString();
    const QByteArray quickPhoto = readBytes(folder + QStringLiteral("/b.jpg"));
    const QByteArray refusedPhoto = readBytes(folder + QStringLiteral("/c.jpg"));
    // By value: an abandoned upload's handler outlives this function.
    service->setResponder([cutout, quickPhoto, refusedPhoto](int, const httplib::Request &request, httplib::Response &response) {
        ReceivedUpload upload;
        upload.body = request.body;
        if (upload.imageBytes() != quickPhoto)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (upload.imageBytes() == refusedPhoto)
            response.status = 400;
        else
            response.set_content(cutout, "image/png");
    });
    window.reset();
    window = std::make_unique<Widget>(service->endpoint(), 2);
    watchAccounts();
    window->show();
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    // a.jpg is answered slowly; b.jpg at once, and waits behind it; then c.jpg goes out, slowly.
    QTRY_COMPARE(service->uploadCount(), 3);
    const auto act = [&](bool closes) {
        if (action == QLatin1String("stop"))
            click("stopBtn");
        else
            QCOMPARE(window->close(), closes);
    };
    act(false);
    const QString waiting = QStringLiteral("正在等待已发送的 2 张照片完成，再按一次中止则放弃它们");
    if (action == QLatin1String("close")) {
        QVERIFY(window->isVisible());
        QTRY_COMPARE(window->windowTitle(), QStringLiteral("Quorrin — 正在完成已发送的 2 张照片"));
    }
    QTRY_VERIFY(windowLog(window.get()).contains(waiting));
    if (twice) {
        act(true);
        QCOMPARE(window->isVisible(), action == QLatin1String("stop"));
    }
    const QStringList log = settledLog(window.get());
    QCOMPARE(window->isVisible(), action == QLatin1String("stop"));
    QCOMPARE(service->uploadCount(), 3);
    // b.jpg came back before the stop, so it is saved however often one stops.
    // c.jpg, refused in the end, is one line among the late ones and one in the account.
    const QString results = folder + QStringLiteral("-no-bg-small/");
    QVERIFY(QFile::exists(results + QStringLiteral("b.jpg-no-bg.png")));
    QCOMPARE(QFile::exists(results + QStringLiteral("a.jpg-no-bg.png")), !twice);
    QVERIFY(!QFile::exists(results + QStringLiteral("c.jpg-no-bg.png")));
    QCOMPARE(log.mid(log.size() - 2, 1),
             QStringList(twice ? QStringLiteral("本批已中止，共 3 张：保存 1 张，跳过 0 张，失败 0 张，未发送 2 张")
                               : QStringLiteral("本批已中止，共 3 张：保存 2 张，跳过 0 张，失败 1 张")));
    if (!twice) {
        QStringList late = log.mid(log.indexOf(waiting) + 1, 2);
        late.sort();
        QCOMPARE(late.at(0), QStringLiteral("a.jpg：保存成功！"));
        QVERIFY2(late.at(1).startsWith(QStringLiteral("c.jpg：")) && late.at(1).contains(QLatin1String("Bad Request")),
                 qPrintable(late.at(1)));
        QCOMPARE(log.last(), QStringLiteral("失败：") + late.at(1));
    }
}

void TestWindow::aStopDuringTheKeyCheckStillWritesTheAccount()
{
    const QString folder = path(QStringLiteral("two"));
    QVERIFY(QDir().mkpath(folder));
    writeImage(folder + QStringLiteral("/done.jpg"), photoLike(40, 30, 3, 1));
    writeImage(folder + QStringLiteral("/new.jpg"), photoLike(40, 30, 3, 2));
    QVERIFY(writeResult(folder + QStringLiteral("-no-bg-small/done.jpg-no-bg.png"), encode(cutoutLike(40, 30), ".png")));
    service->setAccountResponder([](const httplib::Request &, httplib::Response &response) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        response.status = 404;
    });
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    click("stopBtn");
    QCOMPARE(settledLog(window.get()),
             QStringList({"已中止任务！", "已跳过 1 张结果已存在且完整的照片（删除结果文件或用 --redo 可重新发送）"})
                 << accountLines(QStringLiteral("本批已中止，共 2 张：保存 0 张，跳过 1 张，失败 0 张，未发送 1 张")));
    QCOMPARE(service->uploadCount(), 0);
}

void TestWindow::aStopAfterTheUploadsLeavesTheAccountWhole()
{
    // Nothing to send, only a full-size image to make from the cut-out already there.
    const QString photo = path(QStringLiteral("cat.jpg"));
    writeImage(photo, photoLike(40, 30));
    setText("inputEdit", photo);
    QVERIFY(writeResult(text("outputEdit"), encode(cutoutLike(10, 8), ".png")));
    click("matBtn");
    click("stopBtn");
    const QStringList log = settledLog(window.get());
    QCOMPARE(log.mid(log.size() - 2),
             accountLines(QStringLiteral("本批共 1 张：保存 0 张，跳过 0 张，失败 0 张，由服务的小图生成 1 张")));
}

void TestWindow::aWordBeforeSpending_data()
{
    QTest::addColumn<double>("balance");
    QTest::addColumn<QString>("answer"); // "yes", "no", or empty: no question
    QTest::newRow("more than the balance covers, yes") << 2.0 << "yes";
    QTest::newRow("more than the balance covers, no") << 2.0 << "no";
    QTest::newRow("covered: no question") << 3.0 << "";
}

void TestWindow::aWordBeforeSpending()
{
    QFETCH(double, balance);
    QFETCH(QString, answer);
    const QString folder = path(QStringLiteral("four"));
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 4; ++i)
        writeImage(folder + QStringLiteral("/%1.jpg").arg(i), photoLike(40, 30, 3, i));
    // The first is done already: three to send.
    QVERIFY(writeResult(folder + QStringLiteral("-no-bg-small/0.jpg-no-bg.png"), encode(cutoutLike(40, 30), ".png")));
    service->setAccountResponder([balance](const httplib::Request &, httplib::Response &response) {
        response.set_content(QStringLiteral(R"({"data":{"attributes":{"credits":{"total":%1}}}})").arg(balance).toStdString(),
                             "application/json");
    });
    QString asked;
    onNextModal<QMessageBox>(window.get(), [&](QMessageBox *box) {
        asked = box->text();
        box->button(answer == QLatin1String("yes") ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    const QStringList log = settledLog(window.get());
    QCOMPARE(asked, answer.isEmpty() ? QString() : QStringLiteral("将发送 3 张照片（另有 1 张不必发送），约需 3 点额度；账户余额：2。\n现在发送吗？"));
    QCOMPARE(service->uploadCount(), answer == QLatin1String("no") ? 0 : 3);
    if (answer == QLatin1String("no"))
        QCOMPARE(log.mid(log.size() - 3), QStringList({"已取消：本批没有发送任何照片",
                                                       "本批共 4 张：保存 0 张，跳过 1 张，失败 0 张，未发送 3 张", "没有失败的照片。"}));
}

void TestWindow::theOutputIsFixedWhenTheBatchStarts()
{
    const QString first = path(QStringLiteral("first"));
    const QString second = path(QStringLiteral("second"));
    for (const QString &folder : {first, second}) {
        QVERIFY(QDir().mkpath(folder));
        writeImage(folder + QStringLiteral("/p.jpg"), photoLike(40, 30));
    }
    service->answerWith(encode(cutoutLike(10, 8), ".png"));
    service->holdRequest(0);
    setText("inputEdit", first);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    QTRY_COMPARE(service->uploadCount(), 1);
    // Typing the next folder proposes its output while the first batch still runs.
    setText("inputEdit", second);
    QCOMPARE(text("outputEdit"), second + QStringLiteral("-no-bg-small"));
    service->release();
    settledLog(window.get());
    QCOMPARE(readImage(first + QStringLiteral("-no-bg-small/p.jpg-no-bg.png"), cv::IMREAD_UNCHANGED).size(), cv::Size(40, 30));
    QVERIFY(!QFileInfo::exists(second + QStringLiteral("-no-bg-small")));
}

void TestWindow::destroyingDuringAnUploadIsClean()
{
    const QString image = path(QStringLiteral("slow.png"));
    QVERIFY(writeBytes(image, "slow"));
    service->holdRequest(0);
    setText("inputEdit", image);
    click("matBtn");
    QTRY_COMPARE(service->uploadCount(), 1);

    const Batch *batch = window->findChild<Batch *>();
    const QPointer<QObject> client = batch->client(), compositor = batch->compositor();
    const QtMessageHandler testHandler = qInstallMessageHandler(collectWarnings);
    window.reset();
    qInstallMessageHandler(testHandler);
    QVERIFY2(warningsSeen.isEmpty(), qPrintable(warningsSeen.join(QLatin1Char('\n'))));
    QVERIFY(client.isNull() && compositor.isNull());
}

void TestWindow::destroyingANeverStartedWindowIsClean()
{
    const QtMessageHandler testHandler = qInstallMessageHandler(collectWarnings);
    click("stopBtn");
    window.reset();
    window = std::make_unique<Widget>(service->endpoint());
    window.reset();
    qInstallMessageHandler(testHandler);
    QVERIFY2(warningsSeen.isEmpty(), qPrintable(warningsSeen.join(QLatin1Char('\n'))));
}

void TestWindow::pathsOpenedOrDropped_data()
{
    QTest::addColumn<bool>("dropped"); // else given as on the command line
    QTest::addColumn<QStringList>("paths"); // @ is the temporary folder; "http:" ones are web addresses
    QTest::addColumn<QString>("input");     // what the input field shows after; empty: untouched
    QTest::addColumn<QString>("line");      // the one log line; empty: none

    QTest::newRow("a photo on the command line") << false << QStringList{"@/cat.jpg"} << "@/cat.jpg" << "";
    QTest::newRow("a relative folder on the command line") << false << QStringList{"pics"} << "@/pics" << "";
    QTest::newRow("two on the command line") << false << QStringList{"@/pics", "@/cat.jpg"} << "@/pics"
                                             << "收到 2 个文件或文件夹，只取第一个：@/pics";
    QTest::newRow("a photo dropped") << true << QStringList{"@/cat.jpg"} << "@/cat.jpg" << "";
    QTest::newRow("three dropped") << true << QStringList{"@/cat.jpg", "@/pics", "@/dog.png"} << "@/cat.jpg"
                                   << "收到 3 个文件或文件夹，只取第一个：@/cat.jpg";
    QTest::newRow("a web address is not taken") << true << QStringList{"http://example.org/cat.jpg"} << "" << "";
}

void TestWindow::pathsOpenedOrDropped()
{
    QFETCH(bool, dropped);
    QFETCH(QStringList, paths);
    QFETCH(QString, input);
    QFETCH(QString, line);

    QDir::setCurrent(dir->path());
    QVERIFY(QDir().mkpath(QStringLiteral("pics")));
    for (const char *name : {"cat.jpg", "dog.png"})
        QVERIFY(writeBytes(path(QLatin1String(name)), "photo"));
    for (QString &each : paths)
        each.replace(QLatin1Char('@'), dir->path());
    input.replace(QLatin1Char('@'), dir->path());
    line.replace(QLatin1Char('@'), dir->path());
    bool accepted = true;
    if (dropped) {
        QList<QUrl> urls;
        for (const QString &each : paths)
            urls << (each.startsWith(QLatin1String("http:")) ? QUrl(each) : QUrl::fromLocalFile(each));
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        accepted = enter.isAccepted();
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        if (accepted)
            QApplication::sendEvent(window.get(), &drop);
    } else {
        window->openPaths(paths);
    }
    QCOMPARE(accepted, !input.isEmpty());
    QCOMPARE(text("inputEdit"), input);
    // As if chosen: the output is proposed from it.
    if (!input.isEmpty())
        QCOMPARE(text("outputEdit"), input + (QFileInfo(input).isDir() ? QStringLiteral("-no-bg-small") : QStringLiteral("-no-bg-small.png")));
    QCOMPARE(windowLog(window.get()), line.isEmpty() ? QStringList() : QStringList{line});
}

void TestWindow::theLogPaneTakesTheHeight()
{
    window->show();
    window->resize(737, 900);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto *rows = window->findChild<QLayout *>(QStringLiteral("verticalLayout"));
    auto *start = child<QPushButton>(window.get(), "matBtn");
    auto *stop = child<QPushButton>(window.get(), "stopBtn");
    // The three rows keep their own height, the two buttons stay as tall as they are, and
    // the log gets the rest.
    QTRY_COMPARE(rows->geometry().height(), rows->sizeHint().height());
    QCOMPARE(stop->geometry().bottom() - start->geometry().top(), rows->geometry().height() - 1);
    const QRect log = child<QPlainTextEdit>(window.get(), "plainTextEdit")->geometry();
    QCOMPARE(log.bottom(), window->height() - 1 - window->layout()->contentsMargins().bottom());
    QCOMPARE(log.top(), rows->geometry().bottom() + 1 + window->layout()->spacing());
}

void TestWindow::typingAPathProposesAtEveryExistingPrefix()
{
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("work/pics")));
    QDir::setCurrent(dir->path());
    auto *input = child<QLineEdit>(window.get(), "inputEdit");
    QStringList proposals;
    for (const QChar character : QStringLiteral("work/pics")) {
        QTest::keyClick(input, character.toLatin1());
        proposals << text("outputEdit");
    }
    const QString none;
    const QString work = QStringLiteral("work-no-bg-small");
    const QString inside = QStringLiteral("work/-no-bg-small");
    QCOMPARE(proposals, QStringList({none, none, none, work, inside, inside, inside, inside,
                                     QStringLiteral("work/pics-no-bg-small")}));
}

void TestWindow::trailingSlashProposesAFolderInside()
{
    setText("inputEdit", dir->path() + QLatin1Char('/'));
    QCOMPARE(text("outputEdit"), dir->path() + QStringLiteral("/-no-bg-small"));
    setText("inputEdit", dir->path() + QStringLiteral("/missing/"));
    QCOMPARE(text("outputEdit"), dir->path() + QStringLiteral("/-no-bg-small"));
}

void TestWindow::dialogs_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("forFolders");
    QTest::addColumn<bool>("forSaving");

    QTest::newRow("input file") << "inputBtn" << "inputEdit" << "打开文件" << false << false;
    QTest::newRow("input folder") << "pushButton_4" << "inputEdit" << "打开输入文件夹" << true << false;
    QTest::newRow("output file") << "outputBtn" << "outputEdit" << "保存文件" << false << true;
    QTest::newRow("output folder") << "outputBtn_2" << "outputEdit" << "打开输出文件夹" << true << false;
}

void TestWindow::dialogs()
{
    QFETCH(QString, button);
    QFETCH(QString, field);
    QFETCH(QString, caption);
    QFETCH(bool, forFolders);
    QFETCH(bool, forSaving);

    const QByteArray buttonName = button.toLatin1();
    const QByteArray fieldName = field.toLatin1();
    const QString image = path(QStringLiteral("photo.jpg"));
    QVERIFY(writeBytes(image, "jpeg"));
    const QString chosen = forFolders ? dir->path() : forSaving ? path(QStringLiteral("out.png")) : image;

    // Cancel: the field is emptied, and an input dialog leaves the proposal as it was.
    setText("inputEdit", image);
    setText(fieldName, QStringLiteral("typed before"));
    const QString proposalBefore = text("outputEdit");
    // Read what the dialog shows, close it, then check: a failed check inside would leave it open.
    QFileDialog *seen = nullptr;
    QString title;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;
    QFileDialog::Options options;
    QStringList filters;
    QWidget *parent = nullptr;
    onNextModal<QFileDialog>(window.get(), [&](QFileDialog *dialog) {
        seen = dialog;
        title = dialog->windowTitle();
        mode = dialog->fileMode();
        acceptMode = dialog->acceptMode();
        options = dialog->options();
        filters = dialog->nameFilters();
        parent = dialog->parentWidget();
        dialog->reject();
    });
    click(buttonName);
    QVERIFY(seen);
    QCOMPARE(title, caption);
    QCOMPARE(parent, window.get());
    QCOMPARE(mode == QFileDialog::ExistingFile, !forFolders && !forSaving);
    QCOMPARE(mode == QFileDialog::AnyFile, forSaving);
    QCOMPARE(acceptMode == QFileDialog::AcceptSave, forSaving);
    QCOMPARE(options.testFlag(QFileDialog::ShowDirsOnly), forFolders);
    QCOMPARE(options.testFlag(QFileDialog::DontResolveSymlinks), forFolders);
    QVERIFY(!options.testFlag(QFileDialog::DontConfirmOverwrite));
    if (!forFolders)
        QCOMPARE(filters, QStringList{forSaving ? QStringLiteral("Images (*.png *.tif *.tiff *.webp *.jpg *.jpeg)")
                                                : QStringLiteral("Images (*.png *.jpg *.jpeg *.heic *.heif *.avif *.PNG *.JPG *.JPEG *.HEIC *.HEIF *.AVIF)")});
    QCOMPARE(text(fieldName), QString());
    if (field == QLatin1String("inputEdit"))
        QCOMPARE(text("outputEdit"), proposalBefore);

    // Choose: the path lands in the field; an input also proposes the output.
    onNextModal<QFileDialog>(window.get(), [&](QFileDialog *dialog) {
        // Typed into the dialog's own name field, as a user would.
        if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
            name->setText(chosen);
        static_cast<QDialog *>(dialog)->accept();
    });
    click(buttonName);
    QCOMPARE(text(fieldName), chosen);
    if (field == QLatin1String("inputEdit"))
        QCOMPARE(text("outputEdit"), chosen + (forFolders ? QStringLiteral("-no-bg-small") : QStringLiteral("-no-bg-small.png")));
}

void TestWindow::outputChosenAfterInputIsKept()
{
    const QString image = path(QStringLiteral("photo.jpg"));
    QVERIFY(writeBytes(image, "jpeg"));
    setText("outputEdit", path(QStringLiteral("chosen first")));
    setText("inputEdit", image);
    QCOMPARE(text("outputEdit"), image + QStringLiteral("-no-bg-small.png"));
    setText("outputEdit", path(QStringLiteral("chosen after.png")));
    setText("lineEdit", QStringLiteral("k"));
    click("matBtn");
    settledLog(window.get());
    QCOMPARE(readBytes(path(QStringLiteral("chosen after.png"))), fakeCutout);
}

void TestWindow::saving_data()
{
    QTest::addColumn<bool>("singleFile");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("savedAs");
    QTest::addColumn<QString>("line");

    const QString ok = QStringLiteral("保存成功！");
    QTest::newRow("folder mode, missing folder whose parent exists")
        << false << "out" << "out/cat.jpg-no-bg.png" << ok;
    QTest::newRow("folder mode, folder and parent missing")
        << false << "gone/out" << "" << "创建路径失败：@/gone/out";
    QTest::newRow("folder mode, relative output text")
        << false << "./rel" << "rel/cat.jpg-no-bg.png" << ok;
    QTest::newRow("folder mode, empty output text") << false << "" << "" << "创建文件失败：@/in/cat.jpg";
    QTest::newRow("single file in a missing folder whose parent exists")
        << true << "@/new/cut.png" << "new/cut.png" << ok;
    QTest::newRow("single file over an older result of the same name") << true << "@/old.png" << "old.png" << ok;
    QTest::newRow("single file, folder and parent missing")
        << true << "@/gone/new/cut.png" << "" << "创建路径失败：@/gone/new";
    QTest::newRow("single file under a file") << true << "@/in/cat.jpg/cut.png" << "" << "创建路径失败：@/in/cat.jpg";
    QTest::newRow("single file names a folder") << true << "@/afolder" << "" << "创建文件失败：@/in/cat.jpg";
    QTest::newRow("single file, empty output text") << true << "" << "" << "创建文件失败：@/in/cat.jpg";
    QTest::newRow("output is the source itself") << true << "@/in/./cat.jpg" << "" << "创建文件失败：@/in/cat.jpg";
    QTest::newRow("output is the source itself, bytes after its end marker")
        << true << "@/in/cat.jpg" << "" << "创建文件失败：@/in/cat.jpg";
    const QString link = QStringLiteral("cat.jpg：结果的位置是一个链接或特殊文件，没有发送，也没有写入");
    QTest::newRow("output is a link to the source") << true << "@/link.jpg" << "" << link;
    QTest::newRow("a result's place in the folder links to a file of the user's") << false << "@/linked" << "" << link;
    QTest::newRow("a full disk keeps the earlier file") << true << "@/old.png" << "" << "保存失败：@/in/cat.jpg";
}

void TestWindow::saving()
{
    QFETCH(bool, singleFile);
    QFETCH(QString, output);
    QFETCH(QString, savedAs);
    QFETCH(QString, line);

    const QString root = dir->path();
    QDir::setCurrent(root);
    QVERIFY(QDir(root).mkdir(QStringLiteral("in")));
    const QString source = path(QStringLiteral("in/cat.jpg"));
    const QString tag = QString::fromUtf8(QTest::currentDataTag());
    // As a phone's motion photo has: the file goes on after the JPEG's end.
    const QByteArray photo = encode(photoLike(40, 30), ".jpg") + (tag.contains(QLatin1String("end marker")) ? "trailer" : "");
    QVERIFY(writeBytes(source, photo));
    QVERIFY(QDir(root).mkdir(QStringLiteral("afolder")));
    QVERIFY(QFile::link(source, path(QStringLiteral("link.jpg"))));
    const QByteArray earlier = "an earlier result, older than the photo";
    QVERIFY(writeBytes(path(QStringLiteral("old.png")), earlier));
    QFile old(path(QStringLiteral("old.png")));
    QVERIFY(old.open(QIODevice::Append) && old.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    QVERIFY(QDir(root).mkdir(QStringLiteral("linked")));
    QVERIFY(QFile::link(path(QStringLiteral("old.png")), path(QStringLiteral("linked/cat.jpg-no-bg.png"))));
    setText("inputEdit", singleFile ? source : path(QStringLiteral("in")));
    setText("outputEdit", QString(output).replace(QLatin1Char('@'), root));
    const bool fullDisk = QString::fromUtf8(QTest::currentDataTag()).contains(QLatin1String("full disk"));
    service->answerWith(fullDisk ? QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64 * 1024, 'x')
                                 : encode(cutoutLike(10, 8), ".png"));

    QSignalSpy composites(window.get(), &Widget::smallToBig);
    {
        std::unique_ptr<FileSizeLimit> limit(fullDisk ? new FileSizeLimit(4096) : nullptr);
        if (!singleFile)
            QTest::ignoreMessage(QtDebugMsg, "isDir");
        click("matBtn");
        settledLog(window.get());
    }
    const QStringList log = windowLog(window.get());
    const QString expected = QString(line).replace(QLatin1Char('@'), root);
    // A link in the result's place, or the photo itself, is refused before anything is sent.
    const bool refused = line.contains(QStringLiteral("链接")) || tag.contains(QLatin1String("source itself"));
    QCOMPARE(service->uploads().empty(), refused);
    QCOMPARE(log.value(refused ? 0 : log.indexOf(QStringLiteral("接收完成！")) + 1), expected);
    QCOMPARE(readBytes(source), photo);
    const PhotoOutcome outcome = account().photos.value(0);
    if (savedAs.isEmpty()) {
        QCOMPARE(composites.size(), 0);
        QCOMPARE(outcome.kind, PhotoOutcome::Failed);
        QCOMPARE(outcome.reason, expected);
        QCOMPARE(readBytes(path(QStringLiteral("old.png"))), earlier);
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), QStringList({"link.jpg", "old.png"}));
        return;
    }
    QCOMPARE(outcome.kind, PhotoOutcome::Saved);
    QCOMPARE(readImage(path(savedAs), cv::IMREAD_UNCHANGED).size(), cv::Size(40, 30));
    QCOMPARE(composites.size(), 1);
    QCOMPARE(composites.at(0).at(0).toString(), source);
    QCOMPARE(composites.at(0).at(1).toString(), path(savedAs));
}

void TestWindow::cutoutWithNothingInItIsCountedApart_data()
{
    QTest::addColumn<bool>("crop");
    QTest::newRow("as it came") << false;
    QTest::newRow("cropped: nothing to crop, said in the photo's own lines") << true;
}

void TestWindow::cutoutWithNothingInItIsCountedApart()
{
    QFETCH(bool, crop);
    OutputChoices cropped;
    QVERIFY(cropped.set(QStringLiteral("crop"), QStringLiteral("3")).isEmpty());
    if (crop)
        window->setOutputChoices(cropped);
    const QString folder = path(QStringLiteral("two"));
    QVERIFY(QDir().mkpath(folder));
    writeImage(folder + QStringLiteral("/a.jpg"), photoLike(10, 8, 3, 1));
    writeImage(folder + QStringLiteral("/b.jpg"), photoLike(10, 8, 3, 2));
    const std::string empty = encode(cv::Mat(8, 10, CV_8UC4, cv::Scalar(40, 80, 120, 0)), ".png").toStdString();
    const std::string faint = encode(cv::Mat(8, 10, CV_8UC4, cv::Scalar(40, 80, 120, 1)), ".png").toStdString();
    const QByteArray first = readBytes(folder + QStringLiteral("/a.jpg"));
    service->setResponder([=](int, const httplib::Request &request, httplib::Response &response) {
        ReceivedUpload upload;
        upload.body = request.body;
        response.set_content(upload.imageBytes() == first ? empty : faint, "image/png");
    });
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    const QStringList log = settledLog(window.get());
    QCOMPARE(log.count(QStringLiteral("警告：服务没有在这张照片里找到主体，抠图完全透明")), 1);
    const int warning = log.indexOf(QStringLiteral("警告：服务没有在这张照片里找到主体，抠图完全透明"));
    QCOMPARE(warning, log.indexOf(QStringLiteral("保存成功！")) + 1);
    if (crop)
        QCOMPARE(log.mid(warning + 1, 2), QStringList({"a.jpg：没有找到主体，结果没有裁剪", ""}));
    QCOMPARE(log.mid(log.size() - 3), QStringList({"本批共 2 张：保存 1 张，跳过 0 张，失败 0 张，没有找到主体 1 张",
                                                   "服务没有找到主体（已计费，请检查）：a.jpg", "没有失败的照片。"}));
    QCOMPARE(account().count(PhotoOutcome::NoSubject), 1);

    // The account's last line leads to the review, where both stand out.
    QCOMPARE(lastLogLine(window.get()), reviewHint);
    qputenv("XDG_CACHE_HOME", QFile::encodeName(path(QStringLiteral("cache"))));
    window->findChild<QAction *>(QStringLiteral("reviewResults"))->trigger();
    QWidget *review = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        review = top->objectName() == QLatin1String("review") ? top : review;
    QVERIFY(review);
    QCOMPARE(review->windowTitle(), QStringLiteral("Quorrin 审阅 — ") + QDir::toNativeSeparators(folder + QStringLiteral("-no-bg-small")));
    auto *grid = review->findChild<QListWidget *>(QStringLiteral("reviewGrid"));
    QTRY_COMPARE(grid->item(0)->text() + QLatin1Char('|') + grid->item(1)->text(),
                 QStringLiteral("a.jpg\n⚠ 没有找到主体|b.jpg\n⚠ 没有找到主体"));
    review->close();
}

void TestWindow::resultsAlreadyThere_data()
{
    QTest::addColumn<QString>("result"); // what is already at the result path
    QTest::addColumn<bool>("turned");    // the photo carries EXIF orientation 6
    QTest::addColumn<bool>("redo");
    QTest::addColumn<QString>("plan");   // skip, finish or send
    QTest::addColumn<QString>("suffix"); // of the result's name

    const auto row = [](const char *name, const char *result, bool turned, bool redo, const char *plan, const char *suffix = "png") {
        QTest::newRow(name) << result << turned << redo << plan << suffix;
    };
    row("a complete result is skipped", "complete", false, false, "skip");
    row("a complete result of a turned photo is skipped", "complete", true, false, "skip");
    row("the service's small cut-out is finished without an upload", "small", false, false, "finish");
    row("no result is sent", "", false, false, "send");
    row("an older result is sent again", "older", false, false, "send");
    row("a damaged result is sent again", "damaged", false, false, "send");
    row("a result without alpha is sent again", "opaque", false, false, "send");
    row("a complete result at the stored size of a turned photo is finished", "stored", true, false, "finish");
    row("--redo sends a complete one again", "complete", false, true, "send");
    row("a complete TIFF is skipped", "complete", false, false, "skip", "tif");
    row("a TIFF without alpha is sent again", "opaque", false, false, "send", "tiff");
    row("a complete WebP is skipped", "complete", false, false, "skip", "webp");
    row("the cut-out kept under a .jpg name is finished as a JPEG", "small", false, false, "finish", "jpg");
    row("a complete JPEG is skipped", "complete", false, false, "skip", "jpg");
    row("a page under a .jpg name is sent again", "damaged", false, false, "send", "jpg");
}

void TestWindow::resultsAlreadyThere()
{
    QFETCH(QString, result);
    QFETCH(bool, turned);
    QFETCH(bool, redo);
    QFETCH(QString, plan);
    QFETCH(QString, suffix);

    const QString photo = path(QStringLiteral("cat.jpg"));
    const QByteArray jpeg = encode(photoLike(40, 30), ".jpg");
    QVERIFY(writeBytes(photo, turned ? withExifOrientation(jpeg, 6) : jpeg));
    setText("inputEdit", photo);
    const QString output = path(QStringLiteral("cat.jpg-no-bg-small.") + suffix);
    setText("outputEdit", output);
    const cv::Size upright = turned ? cv::Size(30, 40) : cv::Size(40, 30);
    const QByteArray format = "." + suffix.toLatin1();
    const bool jpegName = suffix == QLatin1String("jpg");
    const QMap<QString, QByteArray> results{{"complete", jpegName ? encode(photoLike(upright.width, upright.height), format)
                                                              : encode(cutoutLike(upright.width, upright.height), format)},
                                            {"older", encode(cutoutLike(40, 30), ".png")},
                                            {"stored", encode(cutoutLike(40, 30), ".png")},
                                            {"small", encode(cutoutLike(10, 8), ".png")},
                                            {"damaged", "\\x89PNG not really"},
                                            {"opaque", encode(photoLike(40, 30), format)}};
    if (!result.isEmpty()) {
        QVERIFY(writeBytes(output, results.value(result)));
        QFile file(output);
        QVERIFY(file.open(QIODevice::Append));
        const QDateTime photoTime = QFileInfo(photo).lastModified();
        QVERIFY(file.setFileTime(photoTime.addSecs(result == QLatin1String("older") ? -60 : 60), QFileDevice::FileModificationTime));
    }
    const QByteArray before = readBytes(output);
    window->setRedo(redo);
    click("matBtn");

    const QString done = QStringLiteral("本批共 1 张：保存 %1 张，跳过 %2 张，失败 0 张");
    const QStringList log = settledLog(window.get());
    if (plan == QLatin1String("send")) {
        QCOMPARE(service->uploadCount(), 1);
        QCOMPARE(log.mid(0, 5), asShown(savedImageLines(photo)).mid(0, 5));
        return;
    }
    QCOMPARE(service->uploadCount(), 0);
    if (plan == QLatin1String("skip")) {
        QCOMPARE(log, QStringList({"已跳过 1 张结果已存在且完整的照片（删除结果文件或用 --redo 可重新发送）"})
                          << allDoneLines << accountLines(done.arg(0).arg(1)));
        QCOMPARE(readBytes(output), before);
        return;
    }
    QCOMPARE(log, QStringList({photo, "结果只是服务的小图，不再上传，现在生成原尺寸图"})
                      << allDoneLines << accountLines(done.arg(0).arg(0) + QStringLiteral("，由服务的小图生成 1 张")));
    const cv::Mat rebuilt = readImage(output, cv::IMREAD_UNCHANGED);
    QCOMPARE(rebuilt.type(), jpegName ? CV_8UC3 : CV_8UC4);
    QCOMPARE(rebuilt.size(), upright);
}

void TestWindow::accountOfABatchWithTwoFailures()
{
    const QString folder = path(QStringLiteral("three"));
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 3; ++i)
        writeImage(folder + QStringLiteral("/%1.jpg").arg(QChar('a' + i)), photoLike(40, 30, 3, i));
    const std::string cutout = encode(cutoutLike(10, 8), ".png").toStdString();
    const std::string opaque = encode(photoLike(10, 8), ".png").toStdString();
    service->setResponder([&](int index, const httplib::Request &, httplib::Response &response) {
        if (index == 1) {
            response.status = 400;
            response.set_content(R"({"errors":[{"title":"Bad image"}]})", "application/json");
        } else {
            response.set_content(index == 0 ? cutout : opaque, "image/png");
        }
    });
    QSignalSpy titles(window.get(), &QWidget::windowTitleChanged);
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");

    const QStringList log = settledLog(window.get());
    // No line about files left out: there are none.
    QCOMPARE(log.first(), folder + QStringLiteral("/a.jpg"));
    const QString refusal = log.value(log.indexOf(folder + QStringLiteral("/b.jpg")) + 3);
    QVERIFY2(refusal.endsWith(QStringLiteral(" — Bad image")), qPrintable(refusal));
    QCOMPARE(log.mid(log.size() - 3),
             accountLines(QStringLiteral("本批共 3 张：保存 1 张，跳过 0 张，失败 2 张"),
                          {QStringLiteral("失败：b.jpg：") + refusal,
                           QStringLiteral("失败：c.jpg：未能生成原尺寸图（服务的抠图无法读取或没有透明通道），已保留服务的小图")}));
    QCOMPARE(windowLog(window.get()).count(QStringLiteral("c.jpg：未能生成原尺寸图（服务的抠图无法读取或没有透明通道），已保留服务的小图")), 1);
    QStringList seen;
    for (const QList<QVariant> &title : titles)
        seen << title.at(0).toString();
    // The final count stays until the next start.
    QCOMPARE(seen, QStringList({"Quorrin — 0/3", "Quorrin — 1/3", "Quorrin — 2/3", "Quorrin — 3/3"}));
    QCOMPARE(window->windowTitle(), QStringLiteral("Quorrin — 3/3"));
}

void TestWindow::qtTranslationsFollowTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("translated");
    QTest::newRow("Chinese") << "zh_CN" << true;
    QTest::newRow("C: nothing changes") << "C" << false;
}

void TestWindow::qtTranslationsFollowTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(bool, translated);

    // The line the log shows for a refused connection, with Qt's translations for `locale`.
    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    QCOMPARE(startup::installQtTranslations(*QCoreApplication::instance()), translated);
    QLocale::setDefault(before);
    RemoveBGConn client(QUrl(QStringLiteral("http://127.0.0.1:%1/v1.0/removebg").arg(closedLocalPort())), quickSettings());
    QSignalSpy errors(&client, &RemoveBGConn::connectError);
    client.postData(path(QStringLiteral("missing.png")), QStringLiteral("key"), true);
    QVERIFY(errors.wait(10000));
    for (QTranslator *translator : QCoreApplication::instance()->findChildren<QTranslator *>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    const QString error = errors.at(0).at(0).toString();
    QVERIFY2(error.contains(QStringLiteral("Connection refused")) != translated, qPrintable(error));
}

namespace {

// Takes out every translation a test installed, however it ends.
auto removingTranslations()
{
    return qScopeGuard([] {
        for (QTranslator *translator : QCoreApplication::instance()->findChildren<QTranslator *>()) {
            QCoreApplication::removeTranslator(translator);
            delete translator;
        }
    });
}

} // namespace

void TestWindow::ownTranslationForTheFirstLanguage_data()
{
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QString>("stop"); // the stop button's caption
    QTest::newRow("American English") << QStringList{"en-US", "en", "en-Latn-US"} << "Stop";
    QTest::newRow("British English, with no translation of its own") << QStringList{"en-GB"} << "Stop";
    QTest::newRow("English before German") << QStringList{"en", "de"} << "Stop";
    QTest::newRow("Chinese before English") << QStringList{"zh-CN", "en"} << "中止";
    QTest::newRow("German before English: no German translation") << QStringList{"de-DE", "en-US"} << "中止";
    QTest::newRow("the C locale") << QStringList{"C"} << "中止";
    QTest::newRow("no language at all") << QStringList{} << "中止";
}

void TestWindow::ownTranslationForTheFirstLanguage()
{
    QFETCH(QStringList, uiLanguages);
    QFETCH(QString, stop);
    const auto cleanup = removingTranslations();
    QCOMPARE(startup::installOwnTranslation(*QCoreApplication::instance(), uiLanguages), stop != QStringLiteral("中止"));
    QCOMPARE(QCoreApplication::translate("Widget", "中止"), stop);
}

// ctest runs this with the rest, in C.UTF-8, and once more as tst_window_english, under
// en_US.UTF-8 with QUORRIN_EXPECTED_LANGUAGE=en.
void TestWindow::textsFollowTheSystemLanguage_data()
{
    QTest::addColumn<QString>("object"); // whose caption; none for the log's line after a start with no input
    QTest::addColumn<QString>("chinese");
    QTest::addColumn<QString>("english");
    QTest::newRow("input path") << "inputBtn_2" << "输入路径" << "Input path";
    QTest::newRow("output path") << "label_3" << "输出路径" << "Output path";
    QTest::newRow("file") << "inputBtn" << "文件" << "File";
    QTest::newRow("folder") << "outputBtn_2" << "文件夹" << "Folder";
    QTest::newRow("start") << "matBtn" << "一键抠图" << "Cut out";
    QTest::newRow("stop") << "stopBtn" << "中止" << "Stop";
    QTest::newRow("log line") << "" << "请先填写输入路径" << "Fill in the input path first";
}

void TestWindow::textsFollowTheSystemLanguage()
{
    QFETCH(QString, object);
    QFETCH(QString, chinese);
    QFETCH(QString, english);
    const bool inEnglish = qEnvironmentVariable("QUORRIN_EXPECTED_LANGUAGE") == QLatin1String("en");
    const auto cleanup = removingTranslations();
    startup::installTranslations(*QCoreApplication::instance());
    Widget translated(service->endpoint());
    if (object.isEmpty()) {
        translated.findChild<QPushButton *>(QStringLiteral("matBtn"))->click();
        QCOMPARE(windowLog(&translated).value(0), inEnglish ? english : chinese);
    } else {
        QCOMPARE(translated.findChild<QWidget *>(object)->property("text").toString(), inEnglish ? english : chinese);
    }
}

void TestWindow::headlessLinesAreTheWindows()
{
    const QString folder = path(QStringLiteral("in"));
    QVERIFY(QDir().mkpath(folder));
    for (int i = 0; i < 3; ++i)
        writeImage(folder + QStringLiteral("/%1.jpg").arg(i), photoLike(40, 30, 3, i));
    writeBytes(folder + QStringLiteral("/notes.txt"), "left out");
    service->answerWith(encode(cutoutLike(10, 8), ".png"));
    setText("inputEdit", folder);
    QTest::ignoreMessage(QtDebugMsg, "isDir");
    click("matBtn");
    const QStringList shown = settledLog(window.get());
    const ProgramRun run = runBatch(QStringLiteral(QUORRIN_PROGRAM), service->endpoint(), {folder, "--redo", "--jobs", "4"},
                                    {"QUORRIN_API_KEY=k"});
    QCOMPARE(run.status, 0);
    QCOMPARE(asShown(run.out), shown);
}

namespace {

// Sets the options dialog's controls, each "objectName=value": an index, a number, 1 for a
// ticked box, or text typed key by key into a field.
void applyEdits(QDialog *dialog, const QString &edits)
{
    for (const QString &edit : edits.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString name = edit.section(QLatin1Char('='), 0, 0), value = edit.section(QLatin1Char('='), 1);
        QWidget *control = dialog->findChild<QWidget *>(name);
        QVERIFY2(control, qPrintable(name));
        if (auto *box = qobject_cast<QComboBox *>(control))
            box->setCurrentIndex(value.toInt());
        else if (auto *number = qobject_cast<QSpinBox *>(control))
            number->setValue(value.toInt());
        else if (auto *real = qobject_cast<QDoubleSpinBox *>(control))
            real->setValue(value.toDouble());
        else if (auto *tick = qobject_cast<QCheckBox *>(control))
            tick->setChecked(value == QLatin1String("1"));
        else if (auto *field = qobject_cast<QLineEdit *>(control))
            QTest::keyClicks(field, value);
        else if (auto *button = qobject_cast<QPushButton *>(control)) { // a colour picked in the colour dialog
            onNextModal<QColorDialog>(dialog, [value](QColorDialog *picker) {
                picker->setCurrentColor(QColor(value));
                picker->accept();
            });
            button->click();
        }
    }
}

} // namespace

void TestWindow::outputOptions_data()
{
    QTest::addColumn<QString>("edits");
    QTest::addColumn<QStringList>("expected"); // the choices' arguments

    QTest::newRow("a custom colour, typed: only hex digits go in") << "background=3 colour=#Ff80zz00"
                                                                   << QStringList{"--background=#ff8000"};
    QTest::newRow("a colour picked sets the custom background") << "pickColour=#123456"
                                                                << QStringList{"--background=#123456"};
    QTest::newRow("jpg with its quality") << "format=1 quality=75" << QStringList{"--format=jpg", "--quality=75"};
    QTest::newRow("webp: the quality stays in range") << "format=2 quality=0" << QStringList{"--format=webp", "--quality=1"};
    QTest::newRow("a quality no file uses is nothing") << "quality=75" << QStringList{};
    QTest::newRow("crop with its margin") << "crop=1 margin=7.5" << QStringList{"--crop=7.5"};
    QTest::newRow("a canvas of width x height") << "canvas=2 canvasWidth=1600 canvasHeight=900"
                                                << QStringList{"--canvas=1600x900"};
    QTest::newRow("mask, small PNG, clean edges") << "mask=1 png=1 edges=1"
                                                  << QStringList{"--mask", "--png=small", "--edges=clean"};
    QTest::newRow("refined edges, hidden background kept") << "edges=2 keepHidden=1"
                                                           << QStringList{"--edges=refine", "--hidden=keep"};
    QTest::newRow("a preset, its quality changed") << "preset=1 quality=80" << QStringList{"--preset=amazon", "--quality=80"};
    QTest::newRow("sRGB") << "srgb=1" << QStringList{"--colour=srgb"};
    QTest::newRow("refused: an unfinished colour") << "background=3 colour=#12345" << QStringList();
    QTest::newRow("refused: a canvas over 250 megapixels") << "canvas=2 canvasWidth=20000 canvasHeight=20000" << QStringList();
}

void TestWindow::outputOptions()
{
    QFETCH(QString, edits);
    QFETCH(QStringList, expected);
    const bool refused = QString::fromUtf8(QTest::currentDataTag()).startsWith(QLatin1String("refused"));

    bool closed = false, okEnabled = true;
    OutputChoices chosen;
    withOutputOptions([&](OutputOptionsDialog *dialog) {
        applyEdits(dialog, edits);
        okEnabled = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->isEnabled();
        chosen = dialog->choices();
        dialog->accept();
        closed = !dialog->isVisible();
        if (!closed)
            dialog->reject();
    });
    QCOMPARE(closed, !refused);
    QCOMPARE(okEnabled, !refused);
    QCOMPARE(QFile::exists(settingsFile()), !expected.isEmpty());
    if (refused)
        return;
    QCOMPARE(chosen.arguments(), expected);
    // The controls show the choices they are given.
    QCOMPARE(OutputOptionsDialog(chosen).choices().arguments(), expected);
    // A new window reads them, and its batches make them.
    window.reset();
    window = std::make_unique<Widget>(service->endpoint());
    QCOMPARE(batchChoices(), expected);
}

void TestWindow::outputChoicesFromTheSettings()
{
    // A value the command line would refuse is left out.
    const QByteArray saved = "[output]\nformat=gif\ncrop=5\nmask=\nbackground=#336699\n";
    QVERIFY(writeResult(settingsFile(), saved));
    window.reset();
    window = std::make_unique<Widget>(service->endpoint());
    QCOMPARE(batchChoices(), QStringList({"--background=#336699", "--crop=5", "--mask"}));
    // Opened and accepted unchanged, shown and closed: nothing is written.
    withOutputOptions([](OutputOptionsDialog *dialog) { dialog->accept(); });
    window->show();
    window->close();
    window.reset();
    QCOMPARE(readBytes(settingsFile()), saved);
}

void TestWindow::commandLineOutputChoicesAreNotSaved()
{
    OutputChoices given;
    QCOMPARE(given.set(QStringLiteral("format"), QStringLiteral("webp")), QString());
    window->setOutputChoices(given);
    QCOMPARE(batchChoices(), given.arguments());
    // The dialog starts from them; a change holds for this run alone.
    QStringList shown;
    withOutputOptions([&](OutputOptionsDialog *dialog) {
        shown = dialog->choices().arguments();
        applyEdits(dialog, QStringLiteral("mask=1"));
        dialog->accept();
    });
    QCOMPARE(shown, QStringList{"--format=webp"});
    click("matBtn"); // nothing to send, but the batch takes the choices first
    QCOMPARE(batchChoices(), QStringList({"--format=webp", "--mask"}));
    window->close();
    window.reset();
    QVERIFY(!QFile::exists(settingsFile()));
    // Given back the saved choices, as when the command line names none, a change is saved.
    window = std::make_unique<Widget>(service->endpoint());
    window->setOutputChoices(window->outputChoices());
    withOutputOptions([](OutputOptionsDialog *dialog) { applyEdits(dialog, QStringLiteral("mask=1")); dialog->accept(); });
    QVERIFY(QFile::exists(settingsFile()));
}

// The dialog shows the size the command line gave and changes it for this run; the output
// choices kept for the next run are not touched.
void TestWindow::theUploadSizeIsTheRunsAlone()
{
    window->setUploadSize(UploadSize::Preview);
    int shown = -1;
    withOutputOptions([&](OutputOptionsDialog *dialog) {
        shown = dialog->findChild<QComboBox *>(QStringLiteral("size"))->currentIndex();
        applyEdits(dialog, QStringLiteral("size=2"));
        dialog->accept();
    });
    QCOMPARE(shown, 1);
    QCOMPARE(window->findChild<Batch *>()->size(), UploadSize::Full);
    QVERIFY(!QFile::exists(settingsFile()));
    withOutputOptions([](OutputOptionsDialog *dialog) { applyEdits(dialog, QStringLiteral("size=0")); dialog->reject(); });
    QCOMPARE(window->findChild<Batch *>()->size(), UploadSize::Full);
}

void TestWindow::outputOptionsPreview_data()
{
    QTest::addColumn<QString>("edits");
    QTest::addColumn<QSize>("size");    // of the preview; empty: no master, so none
    QTest::addColumn<QColor>("corner"); // where the master is transparent, but for a crop
    QTest::addColumn<QString>("masters"); // the photos with one; ":empty" with no subject in it
    QTest::addColumn<QString>("steps");   // buttons pressed: next, previous
    QTest::addColumn<QString>("named");   // the photo the preview names

    const QColor grey(0xb0, 0xb0, 0xb0), subject(200, 80, 40);
    const auto row = [](const char *name, const char *edits, QSize size, QColor corner, const char *masters = "A.jpg",
                        const char *steps = "", const char *named = "A.jpg") {
        QTest::newRow(name) << edits << size << corner << masters << steps << named;
    };
    row("transparent: a checkerboard", "", QSize(360, 240), grey);
    row("jpg: white", "format=1", QSize(360, 240), QColor(Qt::white));
    row("a custom colour", "background=3 colour=#336699", QSize(360, 240), QColor(0x33, 0x66, 0x99));
    row("cropped to the subject", "crop=1 margin=0", QSize(180, 120), subject);
    row("a canvas of width x height, scaled down", "canvas=2 canvasWidth=4000 canvasHeight=2000", QSize(360, 180), grey);
    // The 360 px subject at full size gives amazon a 423 px canvas: 360 / 0.85.
    row("a preset: the subject framed on white, and the size it will have", "preset=1", QSize(211, 211), QColor(Qt::white));
    row("no master yet", "format=1", QSize(0, 0), QColor(), "");
    row("an empty cut-out is passed over for the next photo", "", QSize(360, 240), grey, "A.jpg:empty b.jpg", "", "b.jpg");
    row("next photo", "", QSize(360, 240), grey, "A.jpg b.jpg", "next", "b.jpg");
    row("next past an empty one comes round to the first", "", QSize(360, 240), grey, "A.jpg b.jpg c.jpg:empty",
        "next next", "A.jpg");
    row("previous from the first is the last with a subject", "", QSize(360, 240), grey, "A.jpg b.jpg c.jpg:empty",
        "previous", "b.jpg");
}

void TestWindow::outputOptionsPreview()
{
    QFETCH(QString, edits);
    QFETCH(QSize, size);
    QFETCH(QColor, corner);
    QFETCH(QString, masters);
    QFETCH(QString, steps);
    QFETCH(QString, named);

    // The first photo by name is A.jpg. A master, at twice the preview's size, is a subject in
    // the middle, and green where it is transparent; an empty one is green alone.
    const QString folder = path(QStringLiteral("in"));
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"b.jpg", "A.jpg", "c.jpg", "0.txt"})
        QVERIFY(writeBytes(folder + QLatin1Char('/') + QLatin1String(name), "photo"));
    cv::Mat master(480, 720, CV_8UC4, cv::Scalar(0, 255, 0, 0));
    const cv::Mat empty = master.clone();
    master(cv::Rect(180, 120, 360, 240)).setTo(cv::Scalar(40, 80, 200, 255));
    for (const QString &photo : masters.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        QVERIFY(writeResult(path(QStringLiteral("out/%1-no-bg.png").arg(photo.section(QLatin1Char(':'), 0, 0))),
                            encode(photo.endsWith(QLatin1String(":empty")) ? empty : master, ".png")));
    setText("inputEdit", folder);
    setText("outputEdit", path(QStringLiteral("out")));

    QImage shown;
    QString caption, name, rules;
    withOutputOptions([&](OutputOptionsDialog *dialog) {
        applyEdits(dialog, edits);
        for (const QString &step : steps.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            if (auto *button = dialog->findChild<QPushButton *>(step + QStringLiteral("Photo")))
                button->click();
        const auto *preview = dialog->findChild<QLabel *>(QStringLiteral("preview"));
        shown = preview->pixmap(Qt::ReturnByValue).toImage();
        caption = preview->text();
        if (const auto *photo = dialog->findChild<QLabel *>(QStringLiteral("previewPhoto")))
            name = photo->text();
        rules = dialog->findChild<QLabel *>(QStringLiteral("presetRules"))->text();
        dialog->reject();
    });
    QCOMPARE(name, named);
    QCOMPARE(shown.size(), size);
    if (size.isEmpty()) {
        QCOMPARE(caption, QStringLiteral("还没有这张照片的结果，无法预览"));
        return;
    }
    QCOMPARE(QColor(shown.pixel(0, 0)), corner);
    QCOMPARE(QColor(shown.pixel(size.width() / 2, size.height() / 2)), QColor(200, 80, 40));
    QCOMPARE(rules.section(QLatin1Char('\n'), 1), edits.startsWith(QLatin1String("preset")) ? QStringLiteral("这张照片：只有 423 像素，amazon 要求至少 1000") : QString());
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

#include "scaleandmix.h"

#include "compositor.h"
#include "masterfile.h"

#include <QThreadPool>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace {

// Composites are background work: the uploads, and the window, come first. The threads the
// lane starts for a composite inherit this.
void yieldToForegroundWork()
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
#endif
}

} // namespace

ScaleAndMix::ScaleAndMix(QObject *parent)
    : QObject(parent)
    , lane(new QThreadPool(this))
{
    lane->setMaxThreadCount(1);
    qRegisterMetaType<ScaleAndMix::Outcome>();
    qRegisterMetaType<ScaleAndMix::Report>();
}

ScaleAndMix::~ScaleAndMix()
{
    lane->clear();
    lane->waitForDone();
}

ScaleAndMix::Outcome ScaleAndMix::composite(const QString &originFile, const QString &targetFile, int threads)
{
    return make({originFile, targetFile, {}, false, {}, {}, {}}, threads).outcome;
}

ScaleAndMix::Report ScaleAndMix::make(const Request &request, int threads)
{
    try {
        return compositor::make(request, threads);
    } catch (...) {
        // An image the library rejects is one more file it cannot read: whatever was there stays.
        Report report;
        report.outcome = LibraryFailed;
        return report;
    }
}

void ScaleAndMix::expect(const Request &request)
{
    QMutexLocker locker(&expectedLock);
    expected[request.target] << request;
}

void ScaleAndMix::toBigPic(QString originFile, QString targetFile)
{
    Request request{originFile, targetFile, {}, false, {}, {}, {}};
    {
        QMutexLocker locker(&expectedLock);
        const auto found = expected.find(targetFile);
        if (found != expected.end()) {
            const auto same = std::find_if(found->begin(), found->end(),
                                           [&](const Request &each) { return each.origin == originFile; });
            if (same != found->end()) {
                request = *same;
                found->erase(same);
            }
            if (found->isEmpty())
                expected.erase(found);
        }
    }
    lane->start([this, request] {
        yieldToForegroundWork();
        emit composited(request.origin, request.target, make(request));
    });
}

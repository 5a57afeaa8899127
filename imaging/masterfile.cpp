#include "masterfile.h"

#include "imagefile.h"
#include "pngreader.h"
#include "pngwriter.h"

#include <QBuffer>
#include <QFile>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace masterfile {

bool read(const QByteArray &bytes, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    if (bytes.isEmpty())
        return false;
    if (pngreader::read(data, std::size_t(bytes.size()), colour, alpha, threads))
        return true;
    const cv::Mat master = imagefile::decode(bytes, cv::IMREAD_UNCHANGED);
    if (master.empty() || master.channels() != 4 || master.depth() != CV_8U)
        return false;
    cv::Mat planes[4];
    cv::split(master, planes);
    cv::merge(planes, 3, colour);
    alpha = planes[3];
    return true;
}

bool read(const QString &path, cv::Mat &colour, cv::Mat &alpha, int threads)
{
    try {
        return read(imagefile::read(path), colour, alpha, threads);
    } catch (...) {
        return false;
    }
}

namespace {

constexpr char keyword[] = "Quorrin";

void addMark(std::vector<unsigned char> &chunks, const QByteArray &text)
{
    const QByteArray data = QByteArray(keyword, sizeof keyword) + text; // the keyword ends in its nul
    const std::vector<unsigned char> one = pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(data.constData()),
                                                            std::size_t(data.size()));
    chunks.insert(chunks.end(), one.begin(), one.end());
}

quint32 bigEndian(const char *at)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(at);
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
}

} // namespace

std::vector<unsigned char> marksChunks(const Marks &marks)
{
    std::vector<unsigned char> chunks;
    if (marks.edges == OutputChoices::Edges::Clean)
        addMark(chunks, "edges=clean");
    else if (marks.edges == OutputChoices::Edges::Refine)
        addMark(chunks, "edges=refine");
    if (marks.hiddenKept)
        addMark(chunks, "hidden=keep");
    if (!marks.cutout.empty())
        addMark(chunks, "cutout=" + QByteArray::number(marks.cutout.width) + 'x' + QByteArray::number(marks.cutout.height));
    return chunks;
}

Marks marksOf(const QByteArray &masterHead)
{
    Marks marks;
    constexpr int afterHeader = 8 + 25; // signature, IHDR
    for (int at = afterHeader; at + 12 <= masterHead.size();) {
        const quint32 length = bigEndian(masterHead.constData() + at);
        if (length > 64 || at + 12 + int(length) > masterHead.size() || masterHead.mid(at + 4, 4) != "tEXt")
            break;
        const QByteArray data = masterHead.mid(at + 8, int(length));
        if (!data.startsWith(QByteArray(keyword, sizeof keyword)))
            break;
        const QByteArray text = data.mid(sizeof keyword);
        if (text == "edges=clean")
            marks.edges = OutputChoices::Edges::Clean;
        else if (text == "edges=refine")
            marks.edges = OutputChoices::Edges::Refine;
        else if (text == "hidden=keep")
            marks.hiddenKept = true;
        else if (text.startsWith("cutout=")) {
            const QList<QByteArray> sides = text.mid(7).split('x');
            const int width = sides.value(0).toInt(), height = sides.value(1).toInt();
            if (sides.size() == 2 && width > 0 && height > 0)
                marks.cutout = cv::Size(width, height);
        }
        at += 12 + int(length);
    }
    return marks;
}

bool hasCleanEdges(const QByteArray &masterHead)
{
    return marksOf(masterHead).edges != OutputChoices::Edges::Source;
}

std::vector<unsigned char> cleanEdgesChunk()
{
    return marksChunks({OutputChoices::Edges::Clean, false, {}});
}

std::vector<unsigned char> editedChunk()
{
    static const char text[] = "Quorrin\0edited=by hand";
    return pngwriter::chunk("tEXt", reinterpret_cast<const unsigned char *>(text), sizeof text - 1);
}

namespace {

bool carriesEdited(QIODevice &file)
{
    if (file.read(8) != QByteArray("\x89PNG\r\n\x1a\n"))
        return false;
    const std::vector<unsigned char> marker = editedChunk();
    const QByteArray wanted(reinterpret_cast<const char *>(marker.data()), int(marker.size()));
    // Chunk by chunk up to the pixels, reading only the small ones: a profile may be megabytes.
    for (int chunks = 0; chunks < 64; ++chunks) {
        const qint64 at = file.pos();
        const QByteArray head = file.read(8);
        if (head.size() < 8 || head.mid(4) == "IDAT")
            return false;
        const quint32 length = quint32(uchar(head[0])) << 24 | quint32(uchar(head[1])) << 16
                               | quint32(uchar(head[2])) << 8 | quint32(uchar(head[3]));
        if (length == quint32(marker.size()) - 12) {
            if (file.read(length + 4) == wanted.mid(8) && head == wanted.left(8))
                return true;
        }
        if (!file.seek(at + 12 + qint64(length)))
            return false;
    }
    return false;
}

} // namespace

bool isEdited(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && carriesEdited(file);
}

bool isEdited(const QByteArray &master)
{
    QBuffer buffer;
    buffer.setData(master);
    return buffer.open(QIODevice::ReadOnly) && carriesEdited(buffer);
}

} // namespace masterfile

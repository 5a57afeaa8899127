#include "provenance.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#include <zlib.h>

namespace provenance {

namespace {

constexpr qint64 hashedEnd = 64 * 1024;
constexpr char prefix[] = "source=";
// A record is short; anything longer under our keyword is not one.
constexpr qint64 longestText = 256;

QByteArray payloadPrefix()
{
    return QByteArray(keyword, int(sizeof keyword)) + prefix; // the keyword, its NUL, "source="
}

quint32 bigEndian32(const QByteArray &bytes, int at)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData()) + at;
    return quint32(data[0]) << 24 | quint32(data[1]) << 16 | quint32(data[2]) << 8 | data[3];
}

quint32 littleEndian32(const QByteArray &bytes, int at)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData()) + at;
    return quint32(data[3]) << 24 | quint32(data[2]) << 16 | quint32(data[1]) << 8 | data[0];
}

QByteArray readAt(QFile &file, qint64 at, qint64 length)
{
    return file.seek(at) ? file.read(length) : QByteArray();
}

Record fromPayload(const QByteArray &payload)
{
    return payload.startsWith(payloadPrefix()) ? Record::fromText(payload.mid(int(sizeof keyword))) : Record();
}

// tEXt chunks between the header and the image data.
Record fromPng(QFile &file)
{
    for (qint64 at = 8;;) {
        const QByteArray head = readAt(file, at, 8);
        if (head.size() < 8)
            return {};
        const qint64 length = bigEndian32(head, 0);
        const QByteArray type = head.mid(4);
        if (type == "IDAT" || type == "IEND")
            return {};
        if (type == "tEXt" && length <= longestText) {
            const Record record = fromPayload(readAt(file, at + 8, length));
            if (record.valid())
                return record;
        }
        at += 12 + length;
    }
}

// Comment segments before the image data.
Record fromJpeg(QFile &file)
{
    for (qint64 at = 2;;) {
        const QByteArray head = readAt(file, at, 4);
        if (head.size() < 4 || quint8(head.at(0)) != 0xff)
            return {};
        const quint8 marker = quint8(head[1]);
        if (marker == 0xda || marker == 0xd9)
            return {};
        const qint64 length = quint8(head[2]) << 8 | quint8(head[3]);
        if (length < 2)
            return {};
        if (marker == 0xfe && length - 2 <= longestText) {
            const Record record = fromPayload(readAt(file, at + 4, length - 2));
            if (record.valid())
                return record;
        }
        at += 2 + length;
    }
}

// The chunk of our own among the RIFF chunks.
Record fromWebp(QFile &file)
{
    const qint64 end = std::min<qint64>(file.size(), 8 + qint64(littleEndian32(readAt(file, 0, 8), 4)));
    for (qint64 at = 12; at + 8 <= end;) {
        const QByteArray head = readAt(file, at, 8);
        if (head.size() < 8)
            return {};
        const qint64 length = littleEndian32(head, 4);
        if (head.startsWith(webpChunk) && length <= longestText)
            return fromPayload(readAt(file, at + 8, length));
        at += 8 + length + (length & 1);
    }
    return {};
}

} // namespace

QByteArray Record::text() const
{
    if (!valid())
        return {};
    return prefix + QByteArray::number(size) + ';' + QByteArray::number(modified) + ';' + hash;
}

Record Record::fromText(const QByteArray &text)
{
    if (!text.startsWith(prefix))
        return {};
    const QList<QByteArray> fields = text.mid(int(std::strlen(prefix))).split(';');
    Record record;
    bool sizeRead = false, timeRead = false;
    if (fields.size() != 3)
        return {};
    record.size = fields[0].toLongLong(&sizeRead);
    record.modified = fields[1].toLongLong(&timeRead);
    record.hash = fields[2];
    return sizeRead && timeRead && record.size >= 0 ? record : Record();
}

Record of(const QString &photo)
{
    QFile file(photo);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    Record record;
    // Taken before the bytes: a change while they are read leaves a time that no longer matches.
    record.modified = QFileInfo(photo).fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch();
    record.size = file.size();
    // CRC-32 of each end: fast, and with the size and time beside it enough to know a photo
    // that changed; no one forges a photo to be skipped.
    const auto crc = [](const QByteArray &bytes) {
        return QByteArray::number(quint32(crc32_z(0, reinterpret_cast<const Bytef *>(bytes.constData()), std::size_t(bytes.size()))),
                                  16)
            .rightJustified(8, '0');
    };
    record.hash = crc(file.read(hashedEnd));
    if (record.size > hashedEnd)
        record.hash += crc(readAt(file, std::max(hashedEnd, record.size - hashedEnd), hashedEnd));
    return record;
}

Record readFrom(const QString &result)
{
    QFile file(result);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(12);
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return fromPng(file);
    if (head.startsWith("\xff\xd8"))
        return fromJpeg(file);
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP")
        return fromWebp(file);
    return {};
}

} // namespace provenance

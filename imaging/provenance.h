#pragma once

#include <QByteArray>
#include <QString>

// What a result was made from: the photo's size, modification time and a hash of its first
// and last 64 KiB. A result is complete only while its record matches the photo as it is
// now, so a photo still being copied when it was sent is sent again once it is whole.
namespace provenance {

struct Record
{
    qint64 size = -1;
    qint64 modified = 0; // milliseconds since the epoch
    QByteArray hash;     // hex

    bool valid() const { return size >= 0 && !hash.isEmpty(); }
    bool operator==(const Record &other) const
    {
        return size == other.size && modified == other.modified && hash == other.hash;
    }
    bool operator!=(const Record &other) const { return !(*this == other); }
    // "source=SIZE;MODIFIED;HASH": what a result stores after the keyword "Quorrin".
    QByteArray text() const;
    static Record fromText(const QByteArray &text);
};

// The photo as it is now; invalid when it cannot be read.
Record of(const QString &photo);
// The record a PNG, JPEG or WebP result carries before or beside its image data, read
// without decoding it; invalid when it has none (a result made before records were kept).
Record readFrom(const QString &result);

// The keyword of the program's own text in its PNG tEXt chunks, JPEG comments and WebP chunk.
inline constexpr char keyword[] = "Quorrin";
// The WebP chunk that carries the record.
inline constexpr char webpChunk[] = "QRRN";

} // namespace provenance

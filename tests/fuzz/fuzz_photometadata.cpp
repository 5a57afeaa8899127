// The photo metadata reader, the writers that put it into a JPEG and a WebP (each given the
// same untrusted bytes as the file to write into), the check of a photo's data, and the
// record a result carries, read from the file.
#include "photocheck.h"
#include "photometadata.h"
#include "provenance.h"

#include <QFile>

#include <cstdlib>
#include <vector>

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    photometadata::Metadata metadata = photometadata::read(data, size);
    if (metadata.profile.size() > photometadata::maxProfileBytes || (!metadata.profile.empty() && !metadata.profileLeftOut.empty()))
        std::abort();
    photometadata::pngChunks(metadata);
    // Whether the photo is whole, as its decoder would find it before an upload; and, as a
    // result on disk, the record of the photo it says it was made from.
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    photocheck::damage(bytes);
    static const QString path = QStringLiteral("/tmp/fuzz_photometadata.%1").arg(getpid());
    QFile result(path);
    if (result.open(QIODevice::WriteOnly | QIODevice::Truncate) && result.write(bytes) == bytes.size()) {
        result.close();
        const provenance::Record record = provenance::readFrom(path);
        if (record.valid() && provenance::Record::fromText(record.text()) != record)
            std::abort();
    }
    metadata.record = "source=1;2;ab";
    const std::vector<unsigned char> file(data, data + size);
    for (const auto &written : {photometadata::embedInJpeg(file, metadata), photometadata::embedInWebp(file, metadata)}) {
        // What was written reads back, whatever it was written into.
        const photometadata::Metadata again = photometadata::read(written.data(), written.size());
        (void)again;
    }
    return 0;
}

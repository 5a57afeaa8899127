// The photo metadata reader, the writers that put it into a JPEG and a WebP (each given the
// same untrusted bytes as the file to write into), and the check of a photo's data.
#include "photocheck.h"
#include "photometadata.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    photometadata::Metadata metadata = photometadata::read(data, size);
    if (metadata.profile.size() > photometadata::maxProfileBytes || (!metadata.profile.empty() && !metadata.profileLeftOut.empty()))
        std::abort();
    photometadata::pngChunks(metadata);
    // Whether the photo is whole, as its decoder would find it before an upload.
    photocheck::damage(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    metadata.record = "source=1;2;ab";
    const std::vector<unsigned char> file(data, data + size);
    for (const auto &written : {photometadata::embedInJpeg(file, metadata), photometadata::embedInWebp(file, metadata)}) {
        // What was written reads back, whatever it was written into.
        const photometadata::Metadata again = photometadata::read(written.data(), written.size());
        (void)again;
    }
    return 0;
}

#pragma once

#include <QByteArray>

// Whether a photo's data is whole, as its decoder sees it, before it is paid for: a JPEG or
// PNG cut short (a copy interrupted, a card pulled out) would be decoded with its missing part
// filled in, sent, charged and saved with a grey smear across it.
namespace photocheck {

// Why the photo is damaged, as a source text of the context "PhotoCheck" (for
// QCoreApplication::translate); null when it is whole, or is not a JPEG, PNG or HEIF. A JPEG
// whose only fault loses no pixel (a stray byte before a marker) is whole; a HEIF is whole when
// its primary image decodes.
const char *damage(const QByteArray &photo);

// The pixels of a preview upload: at most this many, which is what the service's preview
// size is given from.
constexpr int previewPixels = 1'000'000;

struct Upload
{
    const char *refusal = nullptr; // a source text of the context "PhotoCheck"; null: send
    bool damaged = false;          // the refusal is damage() found in the photo
    QByteArray made;               // sent in the photo's place; empty: the photo's own bytes
};

// What is sent for a photo: nothing when it is damaged; a high-quality JPEG of its decoded
// pixels for a HEIF, which the service does not take; for a `preview`, a JPEG of at most
// previewPixels, upright as the composite reads the photo; otherwise its own bytes.
Upload prepare(const QByteArray &photo, bool preview);

} // namespace photocheck

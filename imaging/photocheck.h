#pragma once

#include <QByteArray>

// Whether a photo's data is whole, as its decoder sees it, before it is paid for: a JPEG or
// PNG cut short (a copy interrupted, a card pulled out) would be decoded with its missing part
// filled in, sent, charged and saved with a grey smear across it.
namespace photocheck {

// Why the photo is damaged, as a source text of the context "PhotoCheck" (for
// QCoreApplication::translate); null when it is whole, or is not a JPEG or PNG. A JPEG whose
// only fault loses no pixel (a stray byte before a marker) is whole.
const char *damage(const QByteArray &photo);

} // namespace photocheck

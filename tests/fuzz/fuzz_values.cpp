// Values typed by people or kept in files: output choices ("option=value"), a result's record
// of its photo, and a presets file. Whatever set() accepts reads back from arguments() the
// same; a presets file read is written back the same, and frames no subject larger than it is.
#include "outputchoices.h"
#include "outputnames.h"
#include "presets.h"
#include "provenance.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const provenance::Record record = provenance::Record::fromText(bytes);
    if (record.valid() && provenance::Record::fromText(record.text()) != record)
        std::abort();

    OutputChoices choices;
    for (const QByteArray &line : bytes.split('\n')) {
        const QString text = QString::fromUtf8(line);
        choices.set(text.section(QLatin1Char('='), 0, 0), text.section(QLatin1Char('='), 1));
    }
    QString refused;
    const OutputChoices again = OutputChoices::fromArguments(choices.arguments(), &refused);
    if (!refused.isEmpty() || again != choices || again.summary() != choices.summary())
        std::abort();
    // Whatever the choices, the files beside a master are the program's own and never the master.
    const QString master = QStringLiteral("/tmp/a.jpg-no-bg.png");
    for (const QString &beside : {outputnames::variantPath(master, choices), outputnames::maskPath(master, choices)})
        if (!beside.isEmpty() && (beside == master || !outputnames::isOwnResult(beside.section(QLatin1Char('/'), -1))))
            std::abort();

    QString error;
    const QVector<Preset> read = presets::parse(bytes, QStringLiteral("fuzz.ini"), &error);
    // A refused file gives nothing (an empty one gives nothing and no refusal).
    if ((!error.isEmpty() && !read.isEmpty())
        || (!read.isEmpty() && presets::parse(presets::text(read), QStringLiteral("again"), &error) != read))
        std::abort();
    for (const Preset &preset : read)
        for (const int subject : {1, 7, preset.size / 2, preset.size, 65535}) {
            const presets::Frame frame = presets::frameFor(preset, subject);
            if (subject > 0 && (frame.side < 1 || frame.side > preset.size || frame.scale > 1 + 1e-9))
                std::abort();
        }
    return 0;
}

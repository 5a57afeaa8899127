// Values typed by people or kept in files: output choices ("option=value"), and a result's
// record of its photo. Whatever set() accepts reads back from arguments() the same.
#include "outputchoices.h"
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
    OutputChoices again;
    for (const QString &argument : choices.arguments()) {
        const QString option = argument.mid(2).section(QLatin1Char('='), 0, 0);
        if (!again.set(option, argument.contains(QLatin1Char('=')) ? argument.section(QLatin1Char('='), 1) : QString()).isEmpty())
            std::abort();
    }
    if (again != choices || again.summary() != choices.summary())
        std::abort();
    choices.variantPath(QStringLiteral("/tmp/a.jpg-no-bg.png"));
    choices.maskPath(QStringLiteral("/tmp/a.jpg-no-bg.png"));
    return 0;
}

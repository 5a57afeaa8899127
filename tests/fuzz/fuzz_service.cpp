// What the service sends back: a reply's classification, its error JSON, the account answer.
#include "accountcheck.h"
#include "replyclassification.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    if (size < 4)
        return 0;
    ReplyFacts facts;
    facts.status = data[0] << 8 | data[1];
    facts.error = QNetworkReply::NetworkError(data[2] % 5 == 0 ? 0 : data[2]);
    facts.readerFailure = ReplyReader::Failure(data[3] % 3);
    facts.errorString = QStringLiteral("error");
    const QByteArray rest(reinterpret_cast<const char *>(data) + 4, int(size - 4));
    const int split = rest.indexOf('\n');
    facts.contentType = split < 0 ? QByteArray() : rest.left(split);
    facts.body = split < 0 ? rest : rest.mid(split + 1);
    const ReplyVerdict verdict = classifyReply(facts, 120000);
    const QString explanation = serviceExplanation(facts.body);
    // One line, of a few hundred characters at most.
    if (explanation.size() > 300 || explanation.contains(QLatin1Char('\n')) || verdict.explanation.size() > 300)
        std::abort();
    const AccountAnswer answer = readAccountAnswer(facts.status, facts.body, data[3] & 4);
    if (answer.why.contains(QLatin1Char('\n')))
        std::abort();
    return 0;
}

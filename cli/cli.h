#pragma once

#include "commandline.h"

#include <QString>
#include <QStringList>

#include <functional>

// The program with --batch: reads the rest of the command line and the key, runs the batch
// and returns the exit status. `keyring` gives the key kept in the system keyring, asked
// only when neither --key-file nor QUORRIN_API_KEY gives one.
namespace cli {

int run(const QStringList &arguments, const commandline::Early &early, const std::function<QString()> &keyring);

} // namespace cli

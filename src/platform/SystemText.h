#pragma once

#include <QString>

namespace kestrel {

// The Russian text of a system error number, for the failures a user meets
// when saving a file or starting a program; any other keeps the system's text.
QString systemErrorText(int errorNumber);

// `message` as the C library or Qt words a system error ("No space left on
// device", "execve: No such file or directory"), in Russian; any other
// message is returned unchanged.
QString russianSystemMessage(const QString& message);

} // namespace kestrel

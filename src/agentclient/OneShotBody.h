#pragma once

#include <QByteArray>

class QIODevice;
class QObject;

namespace kestrel {

// A request body that Qt's HTTP stack can send only once. When a connection
// closes before the reply, the stack sends the request again, even a POST
// and even on a fresh connection; it has to rewind the body for that, and
// this one refuses, so the request fails (ContentReSendError) instead of
// reaching the agent twice.
QIODevice* makeOneShotBody(const QByteArray& body, QObject* parent);

} // namespace kestrel

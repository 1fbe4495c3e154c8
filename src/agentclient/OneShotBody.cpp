#include "OneShotBody.h"

#include <QIODevice>
#include <cstring>

namespace kestrel {

namespace {

class OneShotBody final : public QIODevice {
public:
    OneShotBody(const QByteArray& body, QObject* parent) : QIODevice(parent), m_body(body) {
        open(QIODevice::ReadOnly);
    }

    qint64 size() const override { return m_body.size(); }
    // Sending the body the first time needs no seek; only a re-send does.
    bool seek(qint64) override { return false; }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 count = std::min(maxSize, m_body.size() - pos());
        if (count <= 0)
            return -1;
        std::memcpy(data, m_body.constData() + pos(), size_t(count));
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArray m_body;
};

} // namespace

QIODevice* makeOneShotBody(const QByteArray& body, QObject* parent) {
    return new OneShotBody(body, parent);
}

} // namespace kestrel

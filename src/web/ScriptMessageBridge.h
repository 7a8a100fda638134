#pragma once

#include <QJsonValue>
#include <QObject>
#include <functional>

// The one object the page reaches through the web channel, published as "orlavantMac". It
// offers nothing but postMessage(body): every other member of a published object (properties,
// signals, slots) would become callable by any script in the page.
class ScriptMessageBridge : public QObject {
    Q_OBJECT
public:
    using Receiver = std::function<void(const QString& handlerName, const QJsonValue& body)>;

    explicit ScriptMessageBridge(Receiver receiver, QObject* parent = nullptr);

    Q_INVOKABLE void postMessage(const QJsonValue& body);

private:
    Receiver m_receiver;
};

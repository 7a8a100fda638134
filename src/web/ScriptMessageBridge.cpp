#include "web/ScriptMessageBridge.h"

#include "web/BridgeScripts.h"

ScriptMessageBridge::ScriptMessageBridge(Receiver receiver, QObject* parent)
    : QObject(parent)
    , m_receiver(std::move(receiver)) {
    setObjectName(BridgeScripts::HandlerName);
}

void ScriptMessageBridge::postMessage(const QJsonValue& body) {
    if (m_receiver)
        m_receiver(objectName(), body);
}

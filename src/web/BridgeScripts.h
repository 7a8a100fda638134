#pragma once

#include <QString>

// The script texts exchanged with the web application: what the native side evaluates in the
// page, and the shim that gives the page its message handler.
namespace BridgeScripts {

// The handler the page posts to: window.webkit.messageHandlers.orlavantMac.postMessage(body).
inline const QString HandlerName = QStringLiteral("orlavantMac");

// Escapes `text` for use inside a single-quoted JavaScript string literal. Besides quotes and
// backslashes this covers every line terminator JavaScript knows and "</", so that neither a
// file name nor a status text can end the literal, the statement or an enclosing script tag.
QString escapeJsString(const QString& text);

// Calls window.updateMacSyncStatus when the page defines it.
QString statusPush(const QString& folderPath, bool watching, int count, const QString& message, bool stopped);

// Calls window.onMacFileSynced when the page defines it.
QString fileSynced(const QString& fileName, bool flag);

// Reads the page's stored login and posts it back as a "loginSuccess" message.
QString loginToken();

// Defines window.webkit.messageHandlers.orlavantMac on top of the web channel, queueing what the
// page posts until the channel is up. Runs at document creation, before any page script.
QString messageHandlerShim();

} // namespace BridgeScripts

#include "web/BridgeScripts.h"

#include <QFile>

namespace BridgeScripts {

QString escapeJsString(const QString& text) {
    QString out;
    out.reserve(text.size() + 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\'':
            out += QLatin1String("\\'");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case 0x2028:
            out += QLatin1String("\\u2028");
            break;
        case 0x2029:
            out += QLatin1String("\\u2029");
            break;
        case '/':
            // "</script>" inside a literal would end an inline script element.
            out += (i > 0 && text.at(i - 1) == QLatin1Char('<')) ? QLatin1String("\\/") : QLatin1String("/");
            break;
        default:
            out += c;
        }
    }
    return out;
}

static QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString statusPush(const QString& folderPath, bool watching, int count, const QString& message,
                   bool stopped) {
    return QStringLiteral("if (window.updateMacSyncStatus) window.updateMacSyncStatus('") +
           escapeJsString(folderPath) + QStringLiteral("', ") + flag(watching) + QStringLiteral(", ") +
           QString::number(count) + QStringLiteral(", '") + escapeJsString(message) + QStringLiteral("', ") +
           flag(stopped) + QStringLiteral(");");
}

QString fileSynced(const QString& fileName, bool flagValue) {
    return QStringLiteral("if (window.onMacFileSynced) window.onMacFileSynced('") + escapeJsString(fileName) +
           QStringLiteral("', ") + flag(flagValue) + QStringLiteral(");");
}

QString loginToken() {
    static const QString script =
        QStringLiteral("(function() {\n"
                       "    try {\n"
                       "        var t = localStorage.getItem('orlavant_token');\n"
                       "        var h = localStorage.getItem('orlavant_household');\n"
                       "        var hid = null;\n"
                       "        if (h) { try { hid = JSON.parse(h).id; } catch(ex) {} }\n"
                       "        if (t && window.webkit && window.webkit.messageHandlers && "
                       "window.webkit.messageHandlers.orlavantMac) {\n"
                       "            window.webkit.messageHandlers.orlavantMac.postMessage({ action: "
                       "'loginSuccess', token: t, "
                       "household: { id: hid } });\n"
                       "        }\n"
                       "    } catch(err) {}\n"
                       "})();");
    return script;
}

QString messageHandlerShim() {
    QFile file(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("qwebchannel.js is missing from the Qt WebChannel resources");
    const QString channelScript = QString::fromUtf8(file.readAll());
    // The channel library stays inside the function scope so the page's globals stay its own.
    return QStringLiteral("(function() {\n") + channelScript + QStringLiteral(R"JS(
    if (window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.orlavantMac)
        return;
    if (typeof qt === 'undefined' || !qt.webChannelTransport)
        return;
    var pending = [];
    var handler = null;
    window.webkit = window.webkit || {};
    window.webkit.messageHandlers = window.webkit.messageHandlers || {};
    window.webkit.messageHandlers.orlavantMac = {
        postMessage: function (body) {
            if (handler)
                handler.postMessage(body);
            else
                pending.push(body);
        }
    };
    new QWebChannel(qt.webChannelTransport, function (channel) {
        handler = channel.objects.orlavantMac;
        var queued = pending;
        pending = [];
        for (var i = 0; i < queued.length; i++)
            handler.postMessage(queued[i]);
    });
})();
)JS");
}

} // namespace BridgeScripts

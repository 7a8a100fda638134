#pragma once

#include "platform/VaultError.h"

#include <QCoreApplication>
#include <QFuture>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <exception>
#include <functional>
#include <type_traits>

// Continues a vault future on the main thread: `onDone` with the result, or `onError` with the
// failure's user-facing description. Nothing runs when `context` is gone by then, so a screen
// that was closed is never touched.
//
// Not QFuture::then(context, ...): on Qt 6.4 that asserts when the context object dies before
// the future ends, which is exactly what happens when a screen is closed mid-request.
template <typename T, typename Done, typename Error>
void continueOnMain(QFuture<T> future, QObject* context, Done onDone, Error onError) {
    QPointer<QObject> guard(context);
    future.then([guard, onDone, onError](QFuture<T> finished) mutable {
        std::function<void()> deliver;
        try {
            finished.waitForFinished(); // rethrows the failure, if any
            if (finished.isCanceled()) {
                deliver = [onError]() mutable { onError(QStringLiteral("The operation was cancelled.")); };
            } else if constexpr (std::is_void_v<T>) {
                deliver = [onDone]() mutable { onDone(); };
            } else {
                deliver = [onDone, value = finished.result()]() mutable { onDone(value); };
            }
        } catch (const VaultError& error) {
            deliver = [onError, text = error.description()]() mutable { onError(text); };
        } catch (const std::exception& error) {
            deliver = [onError, text = QString::fromLocal8Bit(error.what())]() mutable { onError(text); };
        } catch (...) {
            deliver = [onError]() mutable { onError(QStringLiteral("An unknown error occurred.")); };
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, deliver]() {
                if (guard)
                    deliver();
            },
            Qt::QueuedConnection);
    });
}

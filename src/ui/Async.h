#pragma once

#include "platform/VaultError.h"

#include <QFuture>
#include <QObject>
#include <QString>
#include <exception>
#include <type_traits>

// Continues a vault future on the thread of `context` (the main thread for a widget): `onDone`
// with the result, or `onError` with the failure's user-facing description. Nothing runs when
// `context` is gone by then, so a screen that was closed is never touched.
template <typename T, typename Done, typename Error>
void continueOnMain(QFuture<T> future, QObject* context, Done onDone, Error onError) {
    QFuture<void> next = [&] {
        if constexpr (std::is_void_v<T>)
            return future.then(context, [onDone]() mutable { onDone(); });
        else
            return future.then(context, [onDone](T value) mutable { onDone(std::move(value)); });
    }();
    next.onFailed(context, [onError](const VaultError& error) mutable { onError(error.description()); })
        .onFailed(
            context,
            [onError](const std::exception& error) mutable { onError(QString::fromLocal8Bit(error.what())); })
        .onFailed(context, [onError]() mutable { onError(QStringLiteral("An unknown error occurred.")); });
}

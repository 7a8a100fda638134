#pragma once

#include "platform/HttpClient.h"

#include <atomic>

// Sends a request whose body is a file, blocking the calling thread until the reply is in.
// Qt's network stack hands a streamed body to its HTTP thread 16 KiB at a time through queued
// signals, which costs about five CPU-seconds per gigabyte and halves the throughput of a large
// upload; libcurl reads the file straight into the socket in large blocks. Only HttpClient
// calls this, so callers see one HTTP interface. Throws VaultError like HttpClient's futures.
// It goes through the proxy Qt's network stack would take for the same URL, so both kinds of
// request reach the network the same way. `bytesSent` grows by every body byte handed on.
HttpResponse sendFileBody(const HttpRequest& request, const std::atomic_bool& cancelled,
                          std::atomic<qint64>& bytesSent);

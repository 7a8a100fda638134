#pragma once

#include <QString>
#include <optional>

// Where the pass stores a file in the hosted bucket when the backend path failed:
// user id (or "vault") + "/mac/" + device + "/" + folder name + "/" + digest + "_" + file name.
//
// The hosted storage service refuses object keys with characters outside its safe set (ASCII
// letters and digits and _ / ! - . * ' ( ) space & $ @ = ; : + , ?). A component that holds
// only those characters is used as it is (so every key made before stays the same); any other
// component has each byte of its UTF-8 form outside that set, and each "+", written as "+"
// and two upper-case hexadecimal digits ("Grüße.jpg" becomes "Gr+C3+BC+C3+9Fe.jpg"). "+" is
// in the service's set, and "%" is not, hence "+" rather than percent escapes. A "/" inside a
// component, and a component that is "." or "..", are escaped too: no name adds or climbs a
// level of the path. The registry row keeps the real name.
namespace StoragePath {

QString forFile(const std::optional<QString>& userId, const QString& deviceName, const QString& folderPath,
                const QString& digest, const QString& fileName);

} // namespace StoragePath

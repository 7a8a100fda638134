#pragma once

// The table side's query language, as the hosted service's REST layer reads it from a request:
// `select` of named columns, filters (`column=op.value`), `order` over several columns,
// `limit` and `offset`, a `Range: first-last` header, and `Prefer: count=exact`. Only the files
// table exists here, so columns are checked against its columns.

#include "VaultStore.h"
#include "http/Request.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vault {

// A refusal in the REST layer's own terms: status, error code and message.
struct RestError {
    int status = 400;
    std::string code, message;
};

// One member of a reply: its name and the column it shows ("alias:column" renames).
struct Projection {
    std::string name, column;
};

// "*" or a list of columns; nullopt with `error` set for anything else.
std::optional<std::vector<Projection>> parseSelect(const std::string& text, RestError& error);
// A row with only the selected members, in the selected order.
nlohmann::json project(const nlohmann::json& row, const std::vector<Projection>& columns);

struct RestRead {
    FileQuery query;
    std::vector<Projection> select; // empty: every column
    bool countExact = false;
};
std::optional<RestRead> parseRestRead(const http::Request& req, RestError& error);

// The reply's Content-Range ("0-9/42", "*/42", "0-9/*") and status: 206 when the total is known
// and the rows are only part of it, 416 (with `error`) for an offset past the end.
struct RestWindow {
    int status = 200;
    std::string contentRange;
};
RestWindow restWindow(std::int64_t offset, std::size_t rows, std::optional<std::int64_t> total,
                      RestError& error);

// A comma-separated list of column names, each possibly in double quotes ("columns",
// "on_conflict"); nullopt for a name the table does not have.
std::optional<std::vector<std::string>> parseColumnList(const std::string& text);

// Whether a Prefer header (any of them) holds this preference.
bool hasPreference(const http::Request& req, const std::string& preference);

} // namespace vault

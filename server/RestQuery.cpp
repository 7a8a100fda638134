#include "RestQuery.h"

#include <algorithm>
#include <cctype>
#include <regex>
#include <set>

namespace vault {

using json = nlohmann::json;

namespace {

bool isFileColumn(const std::string& name) {
    const auto& columns = VaultStore::fileColumns();
    return std::find(columns.begin(), columns.end(), name) != columns.end();
}

RestError missingColumn(const std::string& column) {
    return {400, "42703", "column files." + column + " does not exist"};
}

// Splits at commas outside double quotes; a quoted item loses its quotes ("a,b" stays one).
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string current;
    bool quoted = false, wasQuoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            wasQuoted = true;
        } else if (c == ',' && !quoted) {
            items.push_back(current);
            current.clear();
            wasQuoted = false;
        } else {
            current += c;
        }
    }
    if (!current.empty() || wasQuoted || !items.empty())
        items.push_back(current);
    return items;
}

std::optional<std::int64_t> wholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    return std::stoll(text);
}

bool isInteger(const std::string& text) {
    return !text.empty() && wholeNumber(text[0] == '-' ? text.substr(1) : text).has_value();
}

} // namespace

std::optional<std::vector<Projection>> parseSelect(const std::string& text, RestError& error) {
    std::vector<Projection> columns;
    if (text == "*" || text.empty())
        return columns;
    for (const std::string& item : splitList(text)) {
        const auto colon = item.find(':');
        Projection p{item, item};
        if (colon != std::string::npos) {
            p = {item.substr(0, colon), item.substr(colon + 1)};
            if (p.column.rfind(':', 0) == 0) { // "name::text": a cast
                error = {400, "PGRST100", "Casts in select are not supported (" + item + ")"};
                return std::nullopt;
            }
        }
        if (p.column == "*" || p.column.find_first_of("()!") != std::string::npos || p.name.empty()) {
            error = {400, "PGRST100", "Only plain columns of files can be selected (" + item + ")"};
            return std::nullopt;
        }
        if (!isFileColumn(p.column)) {
            error = missingColumn(p.column);
            return std::nullopt;
        }
        columns.push_back(p);
    }
    return columns;
}

json project(const json& row, const std::vector<Projection>& columns) {
    if (columns.empty())
        return row;
    json out = json::object();
    for (const auto& p : columns)
        out[p.name] = row.value(p.column, json());
    return out;
}

std::optional<std::vector<std::string>> parseColumnList(const std::string& text) {
    std::vector<std::string> columns = splitList(text);
    for (const auto& c : columns)
        if (!isFileColumn(c))
            return std::nullopt;
    return columns;
}

std::optional<RestRead> parseRestRead(const http::Request& req, RestError& error) {
    RestRead read;
    std::optional<std::int64_t> limit, offset;
    static const std::set<std::string> operators = {"eq",  "neq",  "gt",    "gte", "lt",
                                                    "lte", "like", "ilike", "in",  "is"};
    for (const auto& [key, value] : req.params) {
        if (key == "select") {
            const auto columns = parseSelect(value, error);
            if (!columns)
                return std::nullopt;
            read.select = *columns;
        } else if (key == "order") {
            for (const std::string& term : splitList(value)) {
                // column[.asc|.desc][.nullsfirst|.nullslast]
                static const std::regex pattern(R"(^([a-z_]+)(\.(asc|desc))?(\.(nullsfirst|nullslast))?$)");
                std::smatch m;
                if (!std::regex_match(term, m, pattern)) {
                    error = {400, "PGRST100", "failed to parse order (" + term + ")"};
                    return std::nullopt;
                }
                if (!isFileColumn(m[1])) {
                    error = missingColumn(m[1]);
                    return std::nullopt;
                }
                FileQuery::Order order{m[1], m[3] == "desc", std::nullopt};
                if (m[5].matched)
                    order.nullsFirst = m[5] == "nullsfirst";
                read.query.order.push_back(order);
            }
        } else if (key == "limit" || key == "offset") {
            const auto number = wholeNumber(value);
            if (!number) {
                error = {400, "PGRST100", "\"" + key + "\" must be a whole number, not \"" + value + "\""};
                return std::nullopt;
            }
            (key == "limit" ? limit : offset) = number;
        } else {
            if (!isFileColumn(key)) {
                error = missingColumn(key);
                return std::nullopt;
            }
            const auto dot = value.find('.');
            FileQuery::Filter filter{key, value.substr(0, dot), {}};
            if (dot == std::string::npos || !operators.count(filter.op)) {
                error = {400, "PGRST100", "failed to parse filter (" + value + ") on " + key};
                return std::nullopt;
            }
            const std::string operand = value.substr(dot + 1);
            if (filter.op == "in") {
                if (operand.size() < 2 || operand.front() != '(' || operand.back() != ')') {
                    error = {400, "PGRST100", "failed to parse filter (" + value + "): in needs (a,b,...)"};
                    return std::nullopt;
                }
                filter.values = splitList(operand.substr(1, operand.size() - 2));
            } else if (filter.op == "is") {
                if (operand != "null") {
                    error = {400, "PGRST100", "Only is.null applies to the columns of files"};
                    return std::nullopt;
                }
                filter.values = {operand};
            } else {
                filter.values = {operand};
            }
            if (key == "file_size" && filter.op != "is" && filter.op != "like" && filter.op != "ilike") {
                for (const auto& v : filter.values) {
                    if (!isInteger(v)) {
                        error = {400, "22P02", "invalid input syntax for type bigint: \"" + v + "\""};
                        return std::nullopt;
                    }
                }
            }
            if (key == "file_size" && (filter.op == "like" || filter.op == "ilike")) {
                error = {400, "42883", "operator does not exist: bigint ~~ unknown"};
                return std::nullopt;
            }
            read.query.filters.push_back(filter);
        }
    }
    // The window: a Range header's rows, narrowed by offset and limit, as the REST layer does.
    std::int64_t first = 0;
    std::optional<std::int64_t> last;
    static const std::regex rangePattern(R"(^(\d{1,18})-(\d{0,18})$)");
    std::smatch range;
    const std::string rangeHeader = req.header("Range");
    if (req.method == "GET" && std::regex_match(rangeHeader, range, rangePattern)) {
        first = std::stoll(range[1]);
        if (range[2].length() > 0)
            last = std::stoll(range[2]);
    }
    first = std::max(first, offset.value_or(0));
    if (limit)
        last = last ? std::min(*last, first + *limit - 1) : first + *limit - 1;
    read.query.offset = first;
    if (last)
        read.query.limit = std::max<std::int64_t>(0, *last - first + 1);
    read.countExact = hasPreference(req, "count=exact") || hasPreference(req, "count=planned") ||
                      hasPreference(req, "count=estimated");
    return read;
}

RestWindow restWindow(std::int64_t offset, std::size_t rows, std::optional<std::int64_t> total,
                      RestError& error) {
    const std::string of = total ? std::to_string(*total) : "*";
    if (total && offset > *total) {
        error = {416, "PGRST103",
                 "Requested range not satisfiable: an offset of " + std::to_string(offset) +
                     " was requested, but there are only " + of + " rows"};
        return {416, "*/" + of};
    }
    RestWindow window;
    window.contentRange = rows == 0
                              ? "*/" + of
                              : std::to_string(offset) + "-" +
                                    std::to_string(offset + static_cast<std::int64_t>(rows) - 1) + "/" + of;
    if (total && static_cast<std::int64_t>(rows) < *total)
        window.status = 206;
    return window;
}

bool hasPreference(const http::Request& req, const std::string& preference) {
    for (std::size_t i = 0; i < req.headerCount("Prefer"); ++i) {
        const std::string value = req.header("Prefer", i);
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = std::min(value.find(',', start), value.size());
            std::string token = value.substr(start, end - start);
            token.erase(0, token.find_first_not_of(' '));
            token.erase(token.find_last_not_of(' ') + 1);
            if (token == preference)
                return true;
            start = end + 1;
        }
    }
    return false;
}

} // namespace vault

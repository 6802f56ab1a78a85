// Result rows of `mira`: an aligned table for people, or one JSON object per
// line with the fields item, value, quality, time and, on failure, error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace mira::cli {

struct Row {
    std::string item;       // as typed
    std::string value;      // for people
    std::string jsonValue;  // a JSON value; "null" when there is none
    int32_t quality = -1;   // -1: none
    std::string time;
    int32_t errorCode = 0;  // nonzero: the exchange failed
    std::string errorMessage;
};

// Writes rows to out: a table with a heading, or JSON lines.
void PrintRows(const std::vector<Row>& rows, bool json, FILE* out);

// One row as its JSON object (no line feed).
std::string RowJson(const Row& row);

}  // namespace mira::cli

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
    std::string note;       // check: how the text changed ("" unchanged)
};

// Writes rows to out: a table with a heading, or JSON lines.
void PrintRows(const std::vector<Row>& rows, bool json, FILE* out);

// One row as its JSON object (no line feed).
std::string RowJson(const Row& row);

// Columns padded to the widest cell of each by display width, two blanks
// apart; the last cell of a line is not padded.
void PrintTable(const std::vector<std::vector<std::string>>& lines, FILE* out);

// The columns a UTF-8 text takes on a terminal: combining marks none, East
// Asian wide and full-width characters two, others one.
size_t DisplayWidth(const std::string& text);

// The text with control characters shown as escapes (\t, \n, \r, \xNN,
// \u0085), so that a table row stays one line.
std::string Printable(const std::string& text);

}  // namespace mira::cli

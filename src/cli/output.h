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
    std::string header;     // listen: the letter form of the message's numeric key ("" none)
    std::string value;      // for people
    std::string jsonValue;  // a JSON value; "null" when there is none
    int32_t quality = -1;   // -1: none
    std::string time;
    int32_t errorCode = 0;  // nonzero: the exchange failed
    std::string errorMessage;
    std::string note;       // check: how the text changed ("" unchanged)
};

// Rows printed batch after batch (mira poll): a table under one heading,
// printed once, whose columns keep the widest cell seen so far; or JSON lines.
class RowPrinter {
public:
    RowPrinter(bool json, FILE* out) : json_(json), out_(out) {}
    void Print(const std::vector<Row>& rows);

private:
    bool json_;
    FILE* out_;
    bool headed_ = false;
    std::vector<size_t> widths_;
};

// Writes rows to out: a table with a heading, or JSON lines.
void PrintRows(const std::vector<Row>& rows, bool json, FILE* out);

// One row as its JSON object (no line feed).
std::string RowJson(const Row& row);

// A failure no row carries, as its JSON object (no line feed):
// {"error":{"code":4112,"message":"..."}}.
std::string ErrorJson(int32_t code, const std::string& message);

// Columns padded to the widest cell of each by display width, two blanks
// apart; the last cell of a line is not padded. *widths, when given, holds
// the widths of earlier lines and is widened by these.
void PrintTable(const std::vector<std::vector<std::string>>& lines, FILE* out,
                std::vector<size_t>* widths = nullptr);

// The columns a UTF-8 text takes on a terminal: combining marks none, East
// Asian wide and full-width characters two, others one.
size_t DisplayWidth(const std::string& text);

// The text with control characters shown as escapes (\t, \n, \r, \xNN,
// \u0085), so that a table row stays one line, and a backslash doubled, so
// that an escape and the same characters typed read apart.
std::string Printable(const std::string& text);

}  // namespace mira::cli

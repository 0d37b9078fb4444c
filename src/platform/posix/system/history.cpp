// history.cpp - `kqsfupdt --history`: the newest records of the service record as a
// table, read without opening the screen, and where the folder is.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/posix.h"

typedef std::vector<std::string> CsvRow;

// Rows of a CSV text (quoted fields, doubled quotes, CRLF or LF). A damaged file (cut
// short, foreign lines) still gives every row it holds.
static std::vector<CsvRow> ParseCsv(const std::string& text) {
    std::vector<CsvRow> rows;
    CsvRow row;
    std::string field;
    bool quoted = false, any = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                i++;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
            any = true;
        } else if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
            if (any || !field.empty()) {
                row.push_back(field);
                rows.push_back(row);
            }
            row.clear();
            field.clear();
            any = false;
        } else {
            field += c;
            any = true;
        }
    }
    if (any || !field.empty()) {
        row.push_back(field);
        rows.push_back(row);
    }
    return rows;
}

// A field as written, without the apostrophe that keeps a spreadsheet from
// taking it for a formula.
static std::string Shown(const CsvRow& row, size_t index) {
    if (index >= row.size()) return "";
    const std::string& f = row[index];
    if (f.size() > 1 && f[0] == '\'' && strchr("=+-@", f[1])) return f.substr(1);
    return f;
}

enum { COL_TIME = 0, COL_COMMAND = 2, COL_PATH = 3, COL_PERIPHERAL = 6, COL_ADDRESS = 7, COL_MAC_SET = 10,
       COL_RESULT = 11, COL_VERDICT = 12, COL_SECONDS = 13, COL_TRACE = 14 };

static std::vector<CsvRow> ReadRecords(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char block[65536];
        for (size_t n; (n = fread(block, 1, sizeof block, f)) > 0;) text.append(block, n);
        fclose(f);
    }
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    std::vector<CsvRow> records;
    for (const CsvRow& r : ParseCsv(text))
        if (!(r.size() > 1 && r[0] == "time" && r[1] == "version")) records.push_back(r);
    return records;
}

// The columns keep the names of the CSV file's header; the program's own words follow
// the message language, as --help does.
int PrintHistory(FILE* out, int count, bool spanish) {
    std::string folder = StateFolderPath();
    std::string path = folder + "/service-record.csv";
    std::vector<CsvRow> records = ReadRecords(path);
    if (records.size() < (size_t)count) {  // the rest from the previous generation
        std::vector<CsvRow> old = ReadRecords(folder + "/service-record.old.csv");
        records.insert(records.begin(), old.begin(), old.end());
    }
    size_t first = records.size() > (size_t)count ? records.size() - (size_t)count : 0;
    fprintf(out, "%-25s  %-28s  %-17s  %-9s  %6s  %-20s  %s\n", "time", "command", "path", "result", "secs",
            spanish ? "unidad / MAC puesta" : "unit / MAC set", "verdict");
    for (size_t i = first; i < records.size(); i++) {
        const CsvRow& r = records[i];
        std::string unit = Shown(r, COL_MAC_SET);
        if (unit.empty() && !Shown(r, COL_PERIPHERAL).empty())
            unit = Shown(r, COL_PERIPHERAL) + (Shown(r, COL_ADDRESS).empty() ? "" : " " + Shown(r, COL_ADDRESS));
        fprintf(out, "%-25s  %-28s  %-17s  %-9s  %6s  %-20s  %s\n", Shown(r, COL_TIME).c_str(),
                Shown(r, COL_COMMAND).c_str(), Shown(r, COL_PATH).c_str(), Shown(r, COL_RESULT).c_str(),
                Shown(r, COL_SECONDS).c_str(), unit.c_str(), Shown(r, COL_VERDICT).c_str());
    }
    fprintf(out,
            spanish ? "\n%zu de %zu registros. Registro de servicio: %s\nTrazas de los trabajos: %s/traces/\n"
                    : "\n%zu of %zu records. Service record: %s\nTraces of the jobs: %s/traces/\n",
            records.size() - first, records.size(), path.c_str(), folder.c_str());
    return 0;
}

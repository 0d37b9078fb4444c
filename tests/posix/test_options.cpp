// The terminal program's command line: the updater's own words pass through untouched,
// the two standard options answer, anything else that looks like an option is refused.
#include <gtest/gtest.h>

#include <clocale>
#include <vector>

#include "platform/posix/posix.h"
#include "version.h"

namespace {

ProgramOptions Parse(std::vector<const char*> words) {
    words.insert(words.begin(), "kqsfupdt");
    return ParseProgramOptions((int)words.size(), words.data());
}

struct OptionCase {
    std::vector<const char*> words;
    ProgramAction action;
    const char* commandLine;  // for OPTIONS_RUN
    const char* unknown;      // for OPTIONS_UNKNOWN
};

TEST(ProgramOptions, EachCommandLineGetsItsAction) {
    const OptionCase cases[] = {
        {{}, OPTIONS_RUN, "", ""},
        {{"ST"}, OPTIONS_RUN, "ST", ""},
        {{"st"}, OPTIONS_RUN, "st", ""},
        {{"ST", "CE"}, OPTIONS_RUN, "ST CE", ""},  // the language letters after one blank
        {{"ST", "DDDDE"}, OPTIONS_RUN, "ST DDDDE", ""},
        {{"STCE"}, OPTIONS_RUN, "STCE", ""},
        {{"--help"}, OPTIONS_HELP, "", ""},
        {{"-h"}, OPTIONS_HELP, "", ""},
        {{"ST", "--help"}, OPTIONS_HELP, "", ""},
        {{"--version"}, OPTIONS_VERSION, "", ""},
        {{"-V"}, OPTIONS_VERSION, "", ""},
        {{"--verbose"}, OPTIONS_UNKNOWN, "", "--verbose"},
        {{"-x", "--help"}, OPTIONS_UNKNOWN, "", "-x"},  // the first option decides
        {{"--help", "-x"}, OPTIONS_HELP, "", ""},
        {{"-"}, OPTIONS_UNKNOWN, "", "-"},
        {{"--"}, OPTIONS_UNKNOWN, "", "--"},
        {{"ST", "-CE"}, OPTIONS_UNKNOWN, "", "-CE"},
    };
    for (const OptionCase& c : cases) {
        std::string shown;
        for (const char* w : c.words) shown += std::string(" ") + w;
        SCOPED_TRACE("kqsfupdt" + shown);
        ProgramOptions o = Parse(c.words);
        EXPECT_EQ(o.action, c.action);
        if (c.action == OPTIONS_RUN) EXPECT_EQ(o.commandLine, c.commandLine);
        if (c.action == OPTIONS_UNKNOWN) EXPECT_EQ(o.unknown, c.unknown);
    }
}

template <class Print> std::string Printed(Print print) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print(out);
    fclose(out);
    std::string s(text, size);
    free(text);
    return s;
}

// Both languages name the same modes, letters, options and environment; the Spanish
// accents (code page 437 in the program) come out in the locale's UTF-8.
TEST(ProgramOptions, UsageNamesModesLettersAndEnvironment) {
    setlocale(LC_ALL, "C.UTF-8");
    for (bool spanish : {false, true}) {
        std::string usage = Printed([spanish](FILE* out) { PrintUsage(out, spanish); });
        for (const char* needed : {"ST", "C (Castellano)", "E (English)", "F (Francais)", "D (German)",
                                   "KQUSB_DEVICES", "KQ_DRIVE_", "XDG_CONFIG_HOME", "kq.ini", "--version"})
            EXPECT_NE(usage.find(needed), std::string::npos) << needed << (spanish ? " (es)" : "");
        EXPECT_NE(usage.find(spanish ? "versi\u00f3n" : "Usage:"), std::string::npos) << usage;
    }
    setlocale(LC_ALL, "C");
}

TEST(ProgramOptions, VersionIsTheBuildsVersion) {
    EXPECT_EQ(Printed(PrintVersion), std::string("kqsfupdt ") + KQ_VERSION + "\n");
}

TEST(ResizeRequest, GrowsOnlyWhatIsShort) {
    struct {
        int rows, columns;
        const char* request;
    } cases[] = {
        {24, 80, "\033[8;38;80t"},
        {24, 132, "\033[8;38;132t"},  // a wide terminal keeps its width
        {50, 60, "\033[8;50;80t"},
        {0, 0, "\033[8;38;80t"},
    };
    for (auto& c : cases) {
        char request[32];
        FormatResizeRequest(c.rows, c.columns, request, sizeof request);
        EXPECT_STREQ(request, c.request) << c.rows << " x " << c.columns;
    }
}

}  // namespace

#include "RunConfig.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "Messages.h"

namespace {

// The items of the configuration file before the input list, for messages: the
// label before each value, then the value. The labels' usage words follow.
const char* const kLabelItems[] = {
    "the label before xmin",
    "the label before ymin",
    "the label before xmax",
    "the label before ymax",
    "the label before resx",
    "the label before resy",
    "the label before the output file name",
};
const char* const kNumberItems[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy"};
const char* const kLabels[] = {"xmin", "ymin", "xmax", "ymax", "resx", "resy", "output", "input"};

// What a UTF-8 editor may put before the first word.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// A word of the configuration as a message shows it: at most its first 64
// bytes, then "...".
std::string shown(const std::string& word) { return shownText(word, 64); }

char lowerCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Letter case ignored, in ASCII; usage is in lower case.
bool sameWordIgnoringCase(const std::string& word, const char* usage) {
    std::size_t k = 0;
    for (; k < word.size() && usage[k] != '\0'; ++k)
        if (lowerCase(word[k]) != usage[k]) return false;
    return k == word.size() && usage[k] == '\0';
}

// True when word becomes usage (lower case) by at most two edits, letter case
// ignored: a letter added, removed or changed, or two neighbours swapped (the
// optimal string alignment distance). Words whose lengths differ by more than
// two are never that close, so a word of any length costs nothing here.
bool withinTwoEdits(const std::string& word, const std::string& usage) {
    const std::size_t n = word.size(), m = usage.size();
    if (n > m + 2 || m > n + 2) return false;
    std::vector<std::vector<std::size_t>> d(n + 1, std::vector<std::size_t>(m + 1));
    for (std::size_t i = 0; i <= n; ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= m; ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const char a = lowerCase(word[i - 1]), b = usage[j - 1];
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a == b ? 0 : 1)});
            if (i > 1 && j > 1 && a == usage[j - 2] && lowerCase(word[i - 2]) == b)
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m] <= 2;
}

// A regular file of that name exists, where the program runs.
bool isExistingFile(const std::string& name) {
    struct stat st;
    return name.find('\0') == std::string::npos && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What the grid numbers cannot make a grid of, or nullptr. The counts are
// tested before the grid is allocated, in the range of double.
const char* gridProblem(const RunConfig& c) {
    for (double n : {c.xmin, c.ymin, c.xmax, c.ymax, c.resx, c.resy})
        if (!std::isfinite(n)) return "a grid number is not finite";
    if (!(c.resx > 0)) return "resx must be greater than 0";
    if (!(c.resy > 0)) return "resy must be greater than 0";
    if (c.xmax < c.xmin) return "xmax is below xmin";
    if (c.ymax < c.ymin) return "ymax is below ymin";
    if (!((c.xmax - c.xmin) / c.resx < 2147483648.0))
        return "the grid would have more than 2147483647 columns; use a larger resx";
    if (!((c.ymax - c.ymin) / c.resy < 2147483648.0))
        return "the grid would have more than 2147483647 rows; use a larger resy";
    return nullptr;
}

// The configuration's tokens in order, into one RunConfig. Reading ends at the
// first token that cannot be read; what it was is kept in the RunConfig.
class ConfigReader {
public:
    ConfigReader(GisAscFile& file, RunConfig& cfg, std::ostream& warnings)
        : file_(file), cfg_(cfg), warnings_(warnings) {}

    // The next token into word; false, with the failure kept, when there is none.
    bool next(std::string& word, const char* item) {
        file_.getString(word);
        if (!file_.fail()) return true;
        fail(item);
        return false;
    }

    // The mode word, after a byte-order mark that stands alone or before it.
    bool modeWord() {
        std::string word;
        if (!next(word, "the mode word")) return false;
        if (word.compare(0, 3, kByteOrderMark) == 0) {
            word.erase(0, 3);
            if (word.empty() && !next(word, "the mode word")) return false;
        }
        // A near miss of Velocity would quietly convert pile height instead.
        cfg_.isVelocity = sameWordIgnoringCase(word, "velocity");
        if (!cfg_.isVelocity && withinTwoEdits(word, "velocity"))
            refuse("mode word \"" + shown(word) + "\" is not known; did you mean Velocity?");
        else if (!cfg_.isVelocity && !sameWordIgnoringCase(word, "pileheight"))
            warn("mode word \"" + shown(word) + "\" is neither Velocity nor PileHeight; pile height is used");
        return true;
    }

    // The label before value k. Labels are not used, but a wrong one usually
    // means a missing one, which shifts every later token: the first is named.
    bool label(int k) {
        std::string word;
        if (!next(word, kLabelItems[k])) return false;
        checkLabel(word, k);
        return true;
    }

    // Number k, which must be the whole of its token.
    bool number(int k, double& value) {
        std::string word;
        if (!next(word, kNumberItems[k])) return false;
        if (GisAscFile::wholeNumber(word, value)) return true;
        fail(kNumberItems[k]);
        cfg_.failedToken = std::move(word);
        return false;
    }

    // The output file name, after its label. Without the label, the output
    // name is taken for it and the input list's label for the output name.
    bool outputName() {
        if (!label(6)) return false;
        const long long labelLine = file_.lineNumber();
        if (!next(cfg_.outFileName, "the output file name")) return false;
        if (sameWordIgnoringCase(cfg_.outFileName, "input") && cfg_.refusal.empty()) {
            cfg_.refusalLine = labelLine;
            cfg_.refusal = "the label output is missing before \"" + shown(labelWord_) +
                           "\"; the output file would be named \"" + shown(cfg_.outFileName) + '"';
        }
        return true;
    }

    // The label before the input list, then the names up to the end of the
    // file. A file that ends before the label has an empty list. Without the
    // label, the first name would be taken for it and never converted: a
    // label that names a file is refused.
    void inputList() {
        std::string word;
        file_.getString(word);
        if (file_.fail()) {
            if (!file_.readProblem().empty()) fail("the label before the input list");
            emptyList();
            return;
        }
        if (!sameWordIgnoringCase(word, "input") && isExistingFile(word) && cfg_.refusal.empty()) {
            cfg_.refusalLine = file_.lineNumber();
            cfg_.refusal = "the label input is missing before \"" + shown(word) +
                           "\"; that file would be taken for the label and not converted";
        }
        checkLabel(word, 7);
        listLine_ = file_.lineNumber();
        for (;;) {
            std::string name;
            file_.getString(name);
            if (file_.fail()) break;
            cfg_.inFileNames.push_back(std::move(name));
        }
        // Reading that stopped short of the end would silently cut the list.
        if (!file_.readProblem().empty()) fail("the input list");
        emptyList();
    }

    // Writes the label warning kept back, unless a refusal makes it moot.
    void finish() {
        if (cfg_.refusal.empty()) warnings_ << labelWarning_;
        if (configProblem(cfg_).empty()) warnings_ << emptyListWarning_;
    }

private:
    void fail(const char* item) {
        cfg_.failedItem = item;
        cfg_.failedLine = file_.lineNumber();
        cfg_.failedAtEnd = file_.endedBeforeToken();
        cfg_.readProblem = file_.readProblem();
    }

    // The first wrong label is kept until the end, when it is written unless
    // a refusal names the missing label itself.
    void checkLabel(const std::string& word, int k) {
        labelWord_ = word;
        if (labelWarned_ || sameWordIgnoringCase(word, kLabels[k])) return;
        labelWarning_ = where() + "label " + kLabels[k] + " expected, found \"" + shown(word) + "\"\n";
        labelWarned_ = true;
    }

    // A list with no names gives a grid of zeros: wanted at times, but said
    // (at the list's label, or where the file ends without one) once the
    // configuration is known to be usable.
    void emptyList() {
        if (cfg_.inFileNames.empty())
            emptyListWarning_ = shown(file_.name()) + ':' +
                                std::to_string(listLine_ > 0 ? listLine_ : file_.lineNumber()) +
                                ": the input list names no file; every cell of the grid is 0\n";
    }

    void refuse(const std::string& text) {
        cfg_.refusal = text;
        cfg_.refusalLine = file_.lineNumber();
    }

    // The read position stands right after the token the warning is about.
    std::string where() const { return shown(file_.name()) + ':' + std::to_string(file_.lineNumber()) + ": "; }
    void warn(const std::string& text) { warnings_ << where() << text << '\n'; }

    GisAscFile& file_;
    RunConfig& cfg_;
    std::ostream& warnings_;
    bool labelWarned_ = false;
    std::string labelWarning_;  // the first wrong label's warning, kept back
    std::string labelWord_;     // the label read last
    long long listLine_ = 0;    // the line of the input list's label
    std::string emptyListWarning_;
};

}  // namespace

RunConfig readRunConfig(GisAscFile& cfgFile) { return readRunConfig(cfgFile, std::cerr); }

RunConfig readRunConfig(GisAscFile& cfgFile, std::ostream& warnings) {
    // Tokens by position: the mode word, six label and number pairs, a label and
    // the output file name, a label and the input names.
    RunConfig cfg;
    ConfigReader in(cfgFile, cfg, warnings);
    const auto readAll = [&] {
        if (!in.modeWord()) return;
        double* const numbers[6] = {&cfg.xmin, &cfg.ymin, &cfg.xmax, &cfg.ymax, &cfg.resx, &cfg.resy};
        for (int k = 0; k < 6; ++k)
            if (!in.label(k) || !in.number(k, *numbers[k])) return;
        if (in.outputName()) in.inputList();
    };
    readAll();
    in.finish();
    return cfg;
}

std::string configProblem(const RunConfig& cfg) {
    const std::string at = ':' + std::to_string(cfg.failedLine) + ": ";
    if (!cfg.readProblem.empty()) return at + cfg.readProblem;
    // Reading stops at the first failure, so a refusal stands before it.
    if (!cfg.refusal.empty()) return ':' + std::to_string(cfg.refusalLine) + ": " + cfg.refusal;
    if (cfg.failedItem && cfg.failedAtEnd) return std::string(" ends before ") + cfg.failedItem;
    if (cfg.failedItem) return at + cfg.failedItem + " \"" + shown(cfg.failedToken) + "\" is not a number";
    const char* problem = gridProblem(cfg);
    return problem ? std::string(": ") + problem : std::string();
}

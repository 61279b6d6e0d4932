// Reads the options files into words, in place: every word ends where its text was, so that no
// reading, at start or on SIGHUP, allocates anything.
#include "rt_options_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rt_args.h"

namespace {

constexpr int ARGS_MAX = 256;  // a command line's own arguments, beside the files' words

const char *paths[RT_OPTION_FILES_MAX];
int pathCount;

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9'); }
bool endsLine(char c) { return c == '\n' || c == '\0'; }

struct Reading {
    const char *progName;
    const char *path;
    int line;
    rt_option_words_t &out;

    bool fault(const char *what) const
    {
        std::fprintf(stderr, "%s: %s, line %d: %s\n", progName, path, line, what);
        return false;
    }

    // Splits value [from, to) at blanks into words that end in place.
    bool addWords(char *from, char *to) const
    {
        for (char *p = from; p < to;) {
            while (p < to && isBlank(*p)) *p++ = '\0';
            if (p == to) break;
            if (out.count == RT_OPTION_WORDS_MAX) return fault("more words than the options files may hold (64)");
            out.words[out.count++] = p;
            while (p < to && !isBlank(*p)) ++p;
        }
        *to = '\0';
        return true;
    }

    // One line from p on; p is left at the start of the next.
    bool readLine(char *&p) const
    {
        while (isBlank(*p)) ++p;
        if (*p == '#')
            while (!endsLine(*p)) ++p;
        if (endsLine(*p)) {
            if (*p) ++p;
            return true;
        }
        if (std::strncmp(p, "export ", 7) == 0) p += 7;
        if (!isNameStart(*p)) return fault("not a NAME=value assignment");
        while (isNameChar(*p)) ++p;
        if (*p++ != '=') return fault("not a NAME=value assignment");
        const char quote = (*p == '"' || *p == '\'') ? *p++ : '\0';
        char *value = p;
        while (!endsLine(*p) && (quote ? *p != quote : !isBlank(*p))) {
            if (*p == '$' || *p == '`' || *p == '\\') return fault("$, ` and \\ are not read in an options file");
            ++p;
        }
        if (quote && *p != quote) return fault("a quote is not closed on its line");
        char *valueEnd = p;
        if (quote) ++p;
        while (isBlank(*p)) ++p;
        if (!endsLine(*p)) return fault("text after the value (a value of several words needs quotes)");
        if (*p) ++p;
        return addWords(value, valueEnd);
    }
};

// The whole file into text, terminated; a file that is no regular file is refused rather than
// read, so that a FIFO cannot hold a program up.
bool readFile(const char *progName, const char *path, char (&text)[RT_OPTION_TEXT_SIZE])
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st{};
    const char *fault = nullptr;
    if (fd < 0) fault = std::strerror(errno);
    else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) fault = "not a regular file";
    else if (st.st_size >= RT_OPTION_TEXT_SIZE) fault = "longer than 4095 bytes";
    ssize_t got = 0;
    if (!fault && (got = read(fd, text, sizeof text - 1)) < 0) fault = std::strerror(errno);
    if (fd >= 0) close(fd);
    if (fault) {
        std::fprintf(stderr, "%s: options file %s: %s\n", progName, path, fault);
        return false;
    }
    text[got] = '\0';
    return true;
}

bool readFiles(const char *progName, rt_option_words_t &out)
{
    out.count = 0;
    for (int i = 0; i < pathCount; ++i) {
        if (!readFile(progName, paths[i], out.text[i])) return false;
        Reading reading{progName, paths[i], 0, out};
        for (char *p = out.text[i]; *p;) {
            ++reading.line;
            if (!reading.readLine(p)) return false;
        }
    }
    return true;
}

[[noreturn]] void refuse(const char *progName, const char *what)
{
    std::fprintf(stderr, "%s: %s\n", progName, what);
    std::exit(rt_error_status);
}

}  // namespace

void rt_take_options_files(const char *progName, int &argc, char **&argv)
{
    static char *merged[ARGS_MAX + RT_OPTION_WORDS_MAX + 1];
    static rt_option_words_t atStart;
    pathCount = 0;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--options") == 0) {
            if (i + 1 == argc) refuse(progName, "--options needs a file");
            if (pathCount == RT_OPTION_FILES_MAX) refuse(progName, "at most 4 --options files");
            paths[pathCount++] = argv[++i];
        } else if (kept == ARGS_MAX) {
            refuse(progName, "too many arguments");
        } else {
            merged[kept++] = argv[i];
        }
    }
    if (pathCount == 0) return;
    if (!readFiles(progName, atStart)) std::exit(rt_error_status);
    for (int i = 0; i < atStart.count; ++i) merged[kept++] = const_cast<char *>(atStart.words[i]);
    merged[kept] = nullptr;
    argc = kept;
    argv = merged;
}

bool rt_reread_options_files(const char *progName, rt_option_words_t &out) { return readFiles(progName, out); }

const char *rt_last_option_value(const char *const *words, int count, const char *name)
{
    const bool oneLetter = name[0] == '-' && name[1] != '-' && name[1] != '\0' && name[2] == '\0';
    const char *value = nullptr;
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(words[i], name) == 0 && i + 1 < count) value = words[++i];
        else if (oneLetter && std::strncmp(words[i], name, 2) == 0 && words[i][2] != '\0') value = words[i] + 2;
    }
    return value;
}

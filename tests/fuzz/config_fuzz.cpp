// The configuration reader and the option parser, which end the process on a fault: exit, fopen
// and gethostbyname are wrapped at link time (-Wl,--wrap), so that a refusal returns here with its
// status, only the input's own file can be opened, and no name is ever looked up. The input is
// the file's text, then (after 0x1e) the options one per line, where "@" stands for the file.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "rtlib/rt_args.h"
#include "rtlib/rt_config.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::jmp_buf *refusal = nullptr;  // set while a parser runs: exit returns here
int refusedWith = 0;
std::string allowedPath;          // the one file fopen may open
FILE *opened = nullptr;           // closed when a refusal leaves it open

// Runs the parser; its exit status, or -1 when it returned.
template <typename Parse>
int statusOf(Parse parse)
{
    std::jmp_buf here;
    refusal = &here;
    if (setjmp(here) != 0) {
        refusal = nullptr;
        if (opened) std::fclose(opened);
        opened = nullptr;
        return refusedWith;
    }
    parse();
    refusal = nullptr;
    return -1;
}

std::string lineOf(const rt_config_entry_t &e)
{
    in_addr addr{htonl(e.ipaddr)};
    return std::to_string(e.nodeID) + " " + inet_ntoa(addr) + " " + std::to_string(e.routing_port) + " " +
           std::to_string(e.local_port) + " " + std::to_string(e.server_port) + "\n";
}

// The file as a memory file, named by a path that stays valid while fd is open.
struct MemoryFile {
    explicit MemoryFile(std::string_view text) : fd(memfd_create("config", MFD_CLOEXEC))
    {
        if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            invariantBroken("memfd failed");
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile() { close(fd); }
    int fd;
    std::string path;
};

int readConfig(const std::string &path, rt_config_file_t &cfg)
{
    allowedPath = path;
    std::memset(&cfg, 0xab, sizeof cfg);
    return statusOf([&] { rt_parse_config_file("fuzz", &cfg, path.c_str()); });
}

void checkConfig(std::string_view text)
{
    MemoryFile file(text);
    static rt_config_file_t cfg;
    const int status = readConfig(file.path, cfg);
    if (status >= 0) {
        FUZZ_CHECK(status == 255, "the reader exited with %d", status);
        return;
    }
    FUZZ_CHECK(cfg.count >= 0 && cfg.count <= RT_MAX_CONFIG_LINES, "count %d", cfg.count);
    rt_config_entry_t untouched;
    std::memset(&untouched, 0xab, sizeof untouched);
    for (int i = cfg.count; i < RT_MAX_CONFIG_LINES; ++i)
        FUZZ_CHECK(std::memcmp(&cfg.entries[i], &untouched, sizeof untouched) == 0, "entry %d past count written", i);
    // What was read, written back plainly, reads the same.
    std::string again;
    for (int i = 0; i < cfg.count; ++i) again += lineOf(cfg.entries[i]);
    MemoryFile second(again);
    static rt_config_file_t reread;
    FUZZ_CHECK(readConfig(second.path, reread) < 0, "the reader refused what it had read: %s", printable(again).c_str());
    FUZZ_CHECK(reread.count == cfg.count, "%d entries read back as %d", cfg.count, reread.count);
    for (int i = 0; i < cfg.count; ++i)
        FUZZ_CHECK(std::memcmp(&reread.entries[i], &cfg.entries[i], sizeof cfg.entries[i]) == 0, "entry %d changed", i);
}

int parseOptions(std::vector<std::string> words, rt_args_t &args)
{
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    optind = 0;  // getopt starts afresh, its hidden state included
    opterr = 0;
    int returned = -2;
    const int status = statusOf([&] { returned = rt_parse_command_line(&args, static_cast<int>(words.size()), argv.data()); });
    if (status < 0) FUZZ_CHECK(returned == 0, "the parser returned %d for an optind of 0", returned);
    return status;
}

void checkOptions(std::string_view configText, std::string_view optionText)
{
    MemoryFile file(configText);
    allowedPath = file.path;
    std::vector<std::string> words{"quorvel"};
    for (size_t start = 0; start <= optionText.size() && words.size() < 24;) {
        const size_t lf = optionText.find('\n', start);
        std::string word(optionText.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start));
        words.push_back(word == "@" ? file.path : word);
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    static rt_args_t args;
    const int status = parseOptions(words, args);
    if (status >= 0) {
        FUZZ_CHECK(status == 255, "the option parser exited with %d", status);
        return;
    }
    FUZZ_CHECK(args.advertisement_cycle_time != 0, "a zero cycle was taken");
    // The values taken, given again as options, are taken the same.
    static rt_args_t again;
    const std::vector<std::string> plain{"quorvel", "-i", std::to_string(args.nodeID), "-a",
                                         std::to_string(args.advertisement_cycle_time), "-n",
                                         std::to_string(args.neighbor_timeout), "-r", std::to_string(args.route_timeout),
                                         "-v", std::to_string(args.verbose)};
    FUZZ_CHECK(parseOptions(plain, again) < 0, "the parser refused the values it had taken");
    FUZZ_CHECK(again.nodeID == args.nodeID && again.advertisement_cycle_time == args.advertisement_cycle_time &&
                   again.neighbor_timeout == args.neighbor_timeout && again.route_timeout == args.route_timeout &&
                   again.verbose == args.verbose,
               "options read back differently");
}

}  // namespace

extern "C" {

[[noreturn]] void __real_exit(int status);
FILE *__real_fopen(const char *path, const char *mode);
int __real_fclose(FILE *file);

[[noreturn]] void __wrap_exit(int status)
{
    if (!refusal) __real_exit(status);
    refusedWith = status;
    std::longjmp(*refusal, 1);
}

FILE *__wrap_fopen(const char *path, const char *mode)
{
    if (refusal && allowedPath != path) {
        errno = ENOENT;
        return nullptr;
    }
    FILE *file = __real_fopen(path, mode);
    if (refusal) opened = file;
    return file;
}

int __wrap_fclose(FILE *file)
{
    if (file == opened) opened = nullptr;
    return __real_fclose(file);
}

// Dotted quads and "localhost" only: the same answer on every machine, and no query sent.
hostent *__wrap_gethostbyname(const char *name)
{
    static in_addr address;
    static char *list[2] = {reinterpret_cast<char *>(&address), nullptr};
    static hostent entry{const_cast<char *>("fuzz"), nullptr, AF_INET, 4, list};
    if (std::strcmp(name, "localhost") == 0) address.s_addr = htonl(0x7f000001);
    else if (inet_aton(name, &address) == 0) return nullptr;
    return &entry;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find(RECORD_SEPARATOR);
    const std::string_view configText = input.substr(0, split);
    checkConfig(configText);
    if (split != std::string_view::npos) checkOptions(configText, input.substr(split + 1));
    return 0;
}

}  // extern "C"

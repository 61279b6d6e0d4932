// Replays corpus files through a fuzz target's entry point, for builds without libFuzzer: every
// file of each directory named (or each file named), in name order, so a failure is reproducible.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

std::vector<std::string> filesOf(const std::string &path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR *dir = ::opendir(path.c_str())) {
        while (const dirent *e = ::readdir(dir))
            if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char **argv)
{
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::vector<std::string> files = filesOf(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "%s: no corpus at %s\n", argv[0], argv[i]);
            return 1;
        }
        for (const std::string &file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replaying %s\n", file.c_str());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed without a broken invariant\n", replayed);
    return 0;
}

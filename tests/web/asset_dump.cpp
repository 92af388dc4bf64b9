// Writes the embedded page's files into a directory, and one line per file
// to standard output: its path, content type and ETag, tab-separated. The
// browser tests' stand-in server serves them from there, so that the
// browser sees the very bytes the listener embeds. Scaffolding: it goes
// when the listener serves the page itself.
#include <cstdio>
#include <string>

#include "web_assets.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    for (std::size_t i = 0; i < quorvellan::discover::web_assets_count; ++i) {
        const auto& file = quorvellan::discover::web_assets[i];
        const std::string path = argv[1] + std::string(file.path);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        const bool written = out != nullptr && std::fwrite(file.body.data(), 1, file.body.size(),
                                                           out) == file.body.size();
        if (out == nullptr || std::fclose(out) != 0 || !written) {
            std::perror(path.c_str());
            return 1;
        }
        std::printf("%.*s\t%.*s\t%.*s\n", static_cast<int>(file.path.size()), file.path.data(),
                    static_cast<int>(file.content_type.size()), file.content_type.data(),
                    static_cast<int>(file.etag.size()), file.etag.data());
    }
    return 0;
}

// Runs a fuzz target over the files named on the command line, so that the
// seed corpus is replayed by every build, with or without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::FILE* f = std::fopen(argv[i], "rb");
        if (f == nullptr) {
            std::perror(argv[i]);
            return 1;
        }
        std::vector<std::uint8_t> data;
        int c;
        while ((c = std::fgetc(f)) != EOF) {
            data.push_back(static_cast<std::uint8_t>(c));
        }
        std::fclose(f);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::printf("replayed %d inputs\n", argc - 1);
    return 0;
}

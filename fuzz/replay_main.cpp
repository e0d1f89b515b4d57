// Without libFuzzer, a fuzz target runs every input file in the folders or
// files it is given once, so the corpus and every past finding are checked by
// each build's tests.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> inputs;
    for (const std::filesystem::path argument : std::vector(argv + 1, argv + argc))
        if (is_directory(argument))
            inputs.insert(inputs.end(), std::filesystem::directory_iterator(argument), {});
        else
            inputs.push_back(argument);
    for (const auto& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs ran\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}

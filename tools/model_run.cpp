// Filters the built-in test card through the reference model with the default track values and
// writes the frame before and after as PNG files.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "effect/model.h"
#include "tools/png_io.h"
#include "tools/testcard.h"

int main(int argc, char** argv) {
    std::string outDir = "out";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            outDir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: kestrin-model-run [--out DIR]\n");
            return 2;
        }
    }
    const int width = 1280, height = 720;
    const int32_t tracks[5] = {128, 24, 64, 1, 0};
    const auto card = kestrin::tools::makeTestCard(width, height, width, 0);

    const auto start = std::chrono::steady_clock::now();
    const auto filtered = kestrin::model::filterFrame(card.data(), width, height, width, tracks,
                                                      kestrin::TexelFormat::Signed);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    const std::string before = outDir + "/testcard-before.png";
    const std::string after = outDir + "/testcard-after.png";
    for (const auto& [path, pixels] : {std::pair{before, &card}, std::pair{after, &filtered}}) {
        const std::string error =
            kestrin::tools::writePng(path, pixels->data(), width, height, width);
        if (!error.empty()) {
            std::fprintf(stderr, "kestrin-model-run: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
    }
    std::printf("reference model: %dx%d, strength 128, threshold 24, range 64, 1 pass: %.1f ms\n",
                width, height, ms);
    std::printf("wrote %s and %s\n", before.c_str(), after.c_str());
    return 0;
}

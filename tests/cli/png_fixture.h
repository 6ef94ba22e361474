// Test-side PNG files via libpng (not the code under test), scratch directories, failure text.
#pragma once

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

using namespace clsg;

namespace clsgtest {

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with its contents at the end of the scope.
struct ScratchDir {
    std::filesystem::path path = [] {
        std::string t = (std::filesystem::temp_directory_path() / "clsg-test-XXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(t);
    }();
    std::error_code ec;  // of the removal
    ~ScratchDir() { std::filesystem::remove_all(path, ec); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// The message of the E that call throws, or "(no error)".
template <class E, class Call>
std::string errorOf(Call call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "(no error)";
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Rows packed as stored, one after another; trns: the palette's alphas.
inline void writePng(const std::string& path, unsigned width, unsigned height, int colorType,
                     const Bytes& pels, int bitDepth = 8, std::vector<png_color> palette = {},
                     Bytes trns = {}, bool interlaced = false) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, bitDepth, colorType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (!trns.empty()) png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
    png_write_info(png, info);
    if (interlaced) png_set_interlace_handling(png);
    for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass)
        for (unsigned y = 0; y < height; ++y) png_write_row(png, &pels[y * pels.size() / height]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// 8-bit grey (one sample per pel) or RGB (three).
inline void writePlainPng(const std::string& path, unsigned width, unsigned height,
                          const Bytes& pels, bool interlaced = false) {
    writePng(path, width, height,
             pels.size() == width * height ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, pels, 8, {},
             {}, interlaced);
}

}  // namespace clsgtest

// Test-side PNG files through libpng directly (not the code under test), and a scratch directory.
#pragma once

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace clsgtest {

// A fresh directory, removed with its contents at the end of the scope.
struct ScratchDir {
    std::filesystem::path path = [] {
        std::string t = (std::filesystem::temp_directory_path() / "clsg-test-XXXXXX").string();
        if (!mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
        return std::filesystem::path(t);
    }();
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::string slurp(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

using Rows = std::vector<std::vector<unsigned char>>;

// Rows packed as stored; trns: the palette's alphas or the one transparent grey.
inline void writePng(const std::string& path, unsigned width, unsigned height, int colorType,
                     const Rows& rows, int bitDepth = 8, std::vector<png_color> palette = {},
                     std::vector<unsigned char> trns = {}, bool interlaced = false) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, bitDepth, colorType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    png_color_16 grey{};
    const bool g = colorType == PNG_COLOR_TYPE_GRAY;
    if (!trns.empty())
        grey.gray = trns[0], png_set_tRNS(png, info, g ? nullptr : trns.data(),
                                          g ? 0 : static_cast<int>(trns.size()), &grey);
    png_write_info(png, info);
    if (interlaced) png_set_interlace_handling(png);
    for (int pass = 0; pass < (interlaced ? 7 : 1); ++pass)
        for (const auto& row : rows) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// 8-bit grey (one sample per pel) or RGB (three), row by row.
inline void writePlainPng(const std::string& path, unsigned width, unsigned height,
                          const std::vector<unsigned char>& pels, bool interlaced = false) {
    const unsigned row = static_cast<unsigned>(pels.size()) / height;
    Rows rows;
    for (unsigned y = 0; y < height; ++y)
        rows.emplace_back(pels.begin() + y * row, pels.begin() + (y + 1) * row);
    writePng(path, width, height, row == width ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, rows, 8,
             {}, {}, interlaced);
}

struct Decoded {
    unsigned width = 0, height = 0, channels = 0;
    std::vector<unsigned char> pels;
};

// Any PNG through libpng's simplified API, as 8-bit grey (channels 1) or RGB (3).
inline Decoded readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read " + path);
    const bool colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    Decoded d{image.width, image.height, colour ? 3u : 1u, {}};
    image.format = colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    d.pels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.pels.data(), 0, nullptr))
        throw std::runtime_error("cannot decode " + path);
    return d;
}

}  // namespace clsgtest

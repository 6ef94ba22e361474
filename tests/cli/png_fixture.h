// Test-side PNG files, written and read through libpng directly (not through
// the code under test), and a scratch directory per test.
#pragma once

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace clsgtest {

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "clsg-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct PngSpec {
    unsigned width = 0, height = 0;
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<std::vector<unsigned char>> rows;  // packed as the file stores them
    std::vector<png_color> palette;
    std::vector<unsigned char> paletteAlpha;  // tRNS for palette images
    bool greyTransparent = false;             // tRNS for a grey image (value 0)
};

// libpng aborts the test on a failure to write (no jump buffer is set).
inline void writePng(const std::string& path, const PngSpec& s) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, s.width, s.height, s.bitDepth, s.colorType,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty())
        png_set_PLTE(png, info, s.palette.data(), static_cast<int>(s.palette.size()));
    if (!s.paletteAlpha.empty())
        png_set_tRNS(png, info, s.paletteAlpha.data(), static_cast<int>(s.paletteAlpha.size()),
                     nullptr);
    png_color_16 grey0{};
    if (s.greyTransparent) png_set_tRNS(png, info, nullptr, 0, &grey0);
    png_write_info(png, info);
    if (s.interlaced) png_set_interlace_handling(png);
    std::vector<png_bytep> rows;
    for (const auto& r : s.rows) rows.push_back(const_cast<png_bytep>(r.data()));
    const int passes = s.interlaced ? 7 : 1;
    for (int pass = 0; pass < passes; ++pass)
        for (png_bytep row : rows) png_write_row(png, row);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
}

// 8-bit RGB, rgb[(y * width + x) * 3 + c].
inline void writeRgbPng(const std::string& path, unsigned width, unsigned height,
                        const std::vector<unsigned char>& rgb) {
    PngSpec s;
    s.width = width;
    s.height = height;
    for (unsigned y = 0; y < height; ++y)
        s.rows.emplace_back(rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
    writePng(path, s);
}

inline void writeGreyPng(const std::string& path, unsigned width, unsigned height,
                         const std::vector<unsigned char>& grey) {
    PngSpec s;
    s.width = width;
    s.height = height;
    s.colorType = PNG_COLOR_TYPE_GRAY;
    for (unsigned y = 0; y < height; ++y)
        s.rows.emplace_back(grey.begin() + y * width, grey.begin() + (y + 1) * width);
    writePng(path, s);
}

struct Decoded {
    unsigned width = 0, height = 0, channels = 0;
    std::vector<unsigned char> pels;
};

// Reads any PNG through libpng's simplified API as 8-bit grey (channels 1)
// or RGB (channels 3), as stored.
inline Decoded readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error("cannot read " + path);
    Decoded d;
    d.width = image.width;
    d.height = image.height;
    const bool colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    image.format = colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    d.channels = colour ? 3 : 1;
    d.pels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.pels.data(), 0, nullptr))
        throw std::runtime_error("cannot decode " + path);
    return d;
}

}  // namespace clsgtest

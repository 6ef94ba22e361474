// Reading and writing images: PNG and binary PPM / PGM.
//
// Colour images come in as 8-bit RGB. Inputs that convert exactly are
// converted (palette and greyscale PNGs, PGM files, 1/2/4-bit samples);
// inputs that would lose or invent information are refused with a message
// that says why (alpha channels, 16-bit samples, PPM/PGM maxvals other than
// 255). Masks must be greyscale. Every failure is an ImageError whose
// message names the file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/three_plane.h"

class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ImageFormat { Png, Pnm };

// PNM for names ending in .ppm, .pgm or .pnm, PNG otherwise.
ImageFormat formatForPath(const std::string& path);

// Decoders of a whole file held in memory; name appears in messages. The
// format is recognised by the file's first bytes.
kv3PlanePelBuffer decodeColorImage(const std::vector<unsigned char>& bytes,
                                   const std::string& name);
kvPelBuffer<unsigned char> decodeGreyImage(const std::vector<unsigned char>& bytes,
                                           const std::string& name);

std::vector<unsigned char> readFileBytes(const std::string& path);
kv3PlanePelBuffer readColorImage(const std::string& path);
kvPelBuffer<unsigned char> readGreyImage(const std::string& path);

// Writers; the window's top-left pel becomes the file's first pel.
void writeColorImage(const std::string& path, const kv3PlanePelBuffer_const& image,
                     ImageFormat format);
void writeGreyImage(const std::string& path, const kvPelBuffer_const<unsigned char>& image,
                    ImageFormat format);

#include "apps/tool_file.h"

#include <fstream>
#include <sstream>

#include "apps/cli_error.h"
#include "apps/image_io.h"
#include "clsg/colorseg/archive_operators.h"

namespace {
const char* const kMagic = "clsg-tool";
}

void writeToolFile(const std::string& path, ToolFile& file) {
    std::ostringstream bytes;
    {
        kvArchive archive(bytes);
        std::string magic = kMagic;
        uint32_t version = kToolFileVersion;
        uint32_t count = static_cast<uint32_t>(file.labelNames.size());
        archive || magic || version || count;
        for (std::string& name : file.labelNames) archive || name;
        archive || file.tool;
    }
    const std::string data = bytes.str();
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    if (!out) throw CliError("cannot write " + path);
}

ToolFile readToolFile(const std::string& path) {
    std::vector<unsigned char> raw;
    try {
        raw = readFileBytes(path);
    } catch (const ImageError& e) {
        throw CliError(e.what());
    }
    std::istringstream bytes(std::string(raw.begin(), raw.end()));
    ToolFile file;
    try {
        kvArchive archive(bytes);
        std::string magic;
        try {
            archive || magic;
        } catch (const std::exception&) {
        }
        if (magic != kMagic) throw CliError(path + " is not a clsg tool file");
        uint32_t version = 0, count = 0;
        archive || version;
        if (version != kToolFileVersion)
            throw CliError(path + " has tool-file format version " + std::to_string(version) +
                           "; this clsg reads version " + std::to_string(kToolFileVersion));
        archive || count;
        archive.checkCount(count, 4);
        file.labelNames.resize(count);
        for (std::string& name : file.labelNames) archive || name;
        archive || file.tool;
    } catch (const CliError&) {
        throw;
    } catch (const std::exception& e) {
        throw CliError(path + " is a corrupt tool file (" + describeError(e) + ")");
    }
    if (!file.tool.isTrained() || file.tool.compositeColors().size() != file.labelNames.size())
        throw CliError(path + " is a corrupt tool file (label names do not match the tool)");
    return file;
}

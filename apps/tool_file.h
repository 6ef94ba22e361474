// The tool file: a trained tool with the names of its labels.
//
// Layout (one archive): the text "clsg-tool", the format version (uint32),
// the label count (uint32), the label names (strings), then the archived
// tool with its examples and parameters.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "clsg/colorseg/segmenter_tool.h"

constexpr uint32_t kToolFileVersion = 1;

struct ToolFile {
    std::vector<std::string> labelNames;  // one per composite colour set
    kvCompositeColorSegmenterTool tool;
};

// Writes path in one go; throws CliError when it cannot be written.
void writeToolFile(const std::string& path, ToolFile& file);

// Throws CliError for a file that is missing, unreadable, of another format
// or version, or corrupt.
ToolFile readToolFile(const std::string& path);

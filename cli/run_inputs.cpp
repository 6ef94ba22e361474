// The images clsg run reads, and the guards around its outputs.
#include "cli/run_inputs.h"

#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "cli/cli_error.h"
#include "cli/cli_video.h"
#include "cli/run_image.h"
#include "cli/run_reports.h"

namespace clsg {

namespace fs = std::filesystem;

// A path as the file system will resolve it (as given when it cannot be).
fs::path canonicalPath(const fs::path& p) {
    // Absolute first: a relative path none of whose parts exist yet stays
    // relative, and would not meet the same path spelt from the root.
    std::error_code e;
    fs::path a = fs::absolute(p, e);
    if (e) a = p;
    fs::path c = fs::weakly_canonical(a, e);
    if (e) c = a.lexically_normal();
    // "d/" of a d not made yet keeps its separator: it is d all the same.
    return c.has_filename() || !c.has_parent_path() ? c : c.parent_path();
}

namespace {

// Refuses a --summary that names a directory or one of the run's own outputs.
void refuseSummaryInTheWay(const std::vector<RunInput>& inputs, const ToolFile& file,
                           const RunSettings& settings) {
    const std::string& summary = settings.summaryPath;
    std::error_code ec;
    if (summary.empty()) return;
    if (fs::is_directory(summary, ec) || fs::path(summary).filename().empty())
        throw CliError("--summary " + summary + " is a directory; give the name of a file");
    const std::string outDir = settings.outDir.empty() ? "." : settings.outDir;
    if (canonicalPath(outDir) == canonicalPath(summary))
        throw CliError("--summary " + summary +
                       " is the output directory; give the name of a file");
    if (!settings.diagDir.empty() && canonicalPath(settings.diagDir) == canonicalPath(summary))
        throw CliError("--summary " + summary +
                       " is the --diag directory; give the name of a file");
    for (const RunInput& input : inputs)
        for (const std::string& name : imageOutputNames(input.name, file, settings))
            if (canonicalPath(fs::path(outDir) / name) == canonicalPath(summary))
                throw CliError("--summary " + summary + " is also " + input.path + "'s output " +
                               name + ": choose another --summary");
    // The diagnostic records: the page and sN-..., N a number.
    const std::string leaf = fs::path(summary).filename().string();
    const std::size_t digits = leaf.find_first_not_of("0123456789", 1);
    const bool record =
        leaf == "index.html" ||
        (leaf[0] == 's' && digits > 1 && digits != std::string::npos && leaf[digits] == '-');
    const fs::path parent = fs::path(summary).parent_path();
    if (record && !settings.diagDir.empty() &&
        canonicalPath(parent.empty() ? "." : parent) == canonicalPath(settings.diagDir))
        throw CliError("--summary " + summary + " is in --diag " + settings.diagDir +
                       " under the name of a diagnostic record: choose another --summary");
}

// Refuses a --diag that names one of the run's own outputs: the folder made
// for the records would stand where the output goes.
void refuseDiagInTheWay(const std::vector<RunInput>& inputs, const ToolFile& file,
                        const RunSettings& settings) {
    if (settings.diagDir.empty()) return;
    const std::string outDir = settings.outDir.empty() ? "." : settings.outDir;
    const fs::path diag = canonicalPath(settings.diagDir);
    for (const RunInput& input : inputs)
        for (const std::string& name : imageOutputNames(input.name, file, settings))
            if (canonicalPath(fs::path(outDir) / name) == diag)
                throw CliError("--diag " + settings.diagDir + " is also " + input.path +
                               "'s output " + name + ": choose another --diag");
}

// Refuses an input not there yet that this run would write, as another
// input's output (x-overlay.png beside x.png): the run would segment what it
// wrote, or fail on it, as its images happened to come; and a --summary
// that a video would write.
void refuseReadingOwnOutputs(const std::vector<std::string>& read,
                             const std::vector<RunInput>& inputs,
                             const std::vector<std::string>& videos, const ToolFile& file,
                             const RunSettings& settings) {
    const fs::path out = canonicalPath(settings.outDir.empty() ? "." : settings.outDir);
    std::map<fs::path, std::string> outputs;  // where, whose
    for (const RunInput& input : inputs) {
        for (const std::string& name :
             runOutputNames(input.name, file, settings.format, settings.score))
            outputs.emplace(out / name, input.path + "'s output " + name);
        if (settings.regions.table)
            outputs.emplace(out / (input.name + "-regions.csv"), input.path + "'s region table");
    }
    for (const std::string& clip : videos)
        for (const std::string& name : videoOutputNames(clip))
            outputs.emplace(out / name, clip + "'s output " + name);
    for (const std::string& path : read) {
        const auto at = outputs.find(canonicalPath(path));
        if (at != outputs.end())
            throw CliError(path + " is also " + at->second +
                           "; clsg run never reads its own outputs: segment it in a run of "
                           "its own, or choose another --out");
    }
    if (settings.summaryPath.empty()) return;
    const auto summary = outputs.find(canonicalPath(settings.summaryPath));
    if (summary != outputs.end())
        throw CliError("--summary " + settings.summaryPath + " is also " + summary->second +
                       ": choose another --summary");
}

}  // namespace

// The images an argument names: a file as given; a directory's files with an
// image extension, sorted by name (not descending into subdirectories). A
// link to nothing (or a loop) is kept, to fail as it would named on its own; other
// entries that are not files (a FIFO would wait for a writer) go to passed,
// and videos (taken only when named) to videos.
std::vector<std::string> expandImageArgument(const std::string& arg,
                                             std::vector<std::string>& passed,
                                             std::vector<std::string>& videos) {
    std::error_code ec;
    if (!fs::is_directory(arg, ec)) return {arg};
    std::vector<std::string> found;
    for (fs::directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec)) {
        if (isVideoInput(it->path().filename().string())) videos.push_back(it->path().string());
        if (!hasImageExtension(it->path().filename().string())) continue;
        std::error_code e, linkError;
        const fs::file_status target = fs::status(it->path(), e);
        // A link to nothing, or one that cannot be followed (a loop), fails when read.
        const bool broken = (e || target.type() == fs::file_type::not_found) &&
                            fs::is_symlink(fs::symlink_status(it->path(), linkError));
        if (fs::is_regular_file(target) || broken)
            found.push_back(it->path().string());
        else
            passed.push_back(it->path().string());
    }
    if (ec) throw CliError("cannot list " + arg + ": " + ec.message());
    if (found.empty()) {
        bool videos = false;
        for (fs::directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec))
            videos = videos || isVideoInput(it->path().filename().string());
        throw CliError(arg +
                       " holds no image files (.png, .jpg, .jpeg, .jpe, .jfif, .tif, .tiff, .bmp, "
                       ".ppm, .pgm, .pnm)" +
                       (videos ? std::string("; name its videos one by one") : std::string()));
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The images the arguments name. A file found in a directory is skipped when
// its name is one a run writes for another of its images, in either format
// (so a run does not segment an earlier run's outputs, whatever its
// --format); note lists the skipped files.
RunPaths selectImages(const std::vector<std::string>& args, const ToolFile& file,
                      std::ostream& note) {
    std::vector<std::pair<std::string, bool>> found;  // path, from a directory
    RunPaths paths;
    std::vector<std::string> notFiles, videos;
    for (const std::string& arg : args) {
        std::error_code ec;
        const bool dir = fs::is_directory(arg, ec);
        if (dir) paths.dirs.push_back(arg);
        for (const std::string& path : expandImageArgument(arg, notFiles, videos))
            found.emplace_back(path, dir);
    }
    if (!videos.empty()) {
        std::sort(videos.begin(), videos.end());
        note << "clsg: note: a directory argument gives its images only; skipping " << videos.size()
             << " video" << (videos.size() == 1 ? "" : "s") << ":";
        for (std::size_t i = 0; i < videos.size() && i < 3; ++i) note << " " << oneLine(videos[i]);
        note << (videos.size() > 3 ? " ..." : "") << " (name a video to segment it)" << std::endl;
    }
    if (!notFiles.empty()) {
        std::sort(notFiles.begin(), notFiles.end());
        note << "clsg: skipping " << notFiles.size() << " entr"
             << (notFiles.size() == 1 ? "y" : "ies")
             << " named as images that are not files (a folder, a FIFO, a device):";
        for (std::size_t i = 0; i < notFiles.size() && i < 3; ++i)
            note << " " << oneLine(notFiles[i]);
        note << (notFiles.size() > 3 ? " ..." : "") << std::endl;
    }
    std::set<std::string> outputNames;
    for (const auto& [path, listed] : found)
        for (const ImageFormat format : {ImageFormat::Png, ImageFormat::Pnm})
            for (const std::string& name :
                 runOutputNames(fs::path(path).stem().string(), file, format))
                outputNames.insert(name);
    std::vector<std::string> skipped;
    for (const auto& [path, listed] : found) {
        if (listed && outputNames.count(fs::path(path).filename().string()))
            skipped.push_back(path);
        else
            paths.images.push_back(path);
    }
    if (!skipped.empty()) {
        note << "clsg: skipping " << skipped.size() << " file" << (skipped.size() == 1 ? "" : "s")
             << " named as this run's outputs for its other images:";
        for (std::size_t i = 0; i < skipped.size() && i < 3; ++i)
            note << " " << oneLine(skipped[i]);
        if (skipped.size() > 3) note << " ...";
        note << " (name a file on its own to segment it)" << std::endl;
    }
    return paths;
}

// Refuses a run that would write an output over one of its inputs, or over
// any file in a directory it reads its images or videos from, before
// anything is read.
void refuseReplacingInputs(const RunPaths& paths, const std::vector<RunInput>& inputs,
                           const std::vector<std::string>& videos, const std::string& toolPath,
                           const ToolFile& file, const RunSettings& settings) {
    const auto identity = [](const std::string& path, std::pair<dev_t, ino_t>& id) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return false;
        id = {st.st_dev, st.st_ino};
        return true;
    };
    const auto dirOf = [](const std::string& path) {
        const fs::path parent = fs::path(path).parent_path();
        return parent.empty() ? std::string(".") : parent.string();
    };
    std::map<std::pair<dev_t, ino_t>, std::string> inputFiles, inputDirs;
    std::pair<dev_t, ino_t> id;
    std::vector<std::string> read = paths.images;
    read.insert(read.end(), videos.begin(), videos.end());
    for (const std::string& input : read) {
        if (identity(input, id)) inputFiles.emplace(id, input);
        if (identity(dirOf(input), id)) inputDirs.emplace(id, dirOf(input));
    }
    if (identity(toolPath, id)) inputFiles.emplace(id, toolPath);
    for (const std::string& dir : paths.dirs)
        if (identity(dir, id)) inputDirs.emplace(id, dir);
    const std::string outDir = settings.outDir.empty() ? "." : settings.outDir;
    const auto check = [&](const std::string& path, const std::string& whose,
                           const char* option = "--out", bool inInputFolder = true) {
        if (!identity(path, id)) return;
        const auto input = inputFiles.find(id);
        if (input != inputFiles.end())
            throw CliError(path + " would replace the input " + input->second + " (as " + whose +
                           "); clsg run never writes over its inputs: choose another " + option);
        if (inInputFolder && identity(dirOf(path), id) && inputDirs.count(id))
            throw CliError(
                path + " exists in " + dirOf(path) +
                ", which this run reads its inputs from; clsg run never writes over files "
                "among its inputs: choose another " +
                option + ", or remove the earlier outputs first");
    };
    if (!settings.diagDir.empty() && identity(settings.diagDir, id) && inputDirs.count(id))
        throw CliError("--diag " + settings.diagDir +
                       " is a directory this run reads images from; its records would be read as "
                       "images by the next run: choose another --diag");
    for (const RunInput& input : inputs)
        for (const std::string& name :
             runOutputNames(input.name, file, settings.format, settings.score))
            check((fs::path(outDir) / name).string(), input.path + "'s output");
    for (const std::string& clip : videos)
        for (const std::string& name : videoOutputNames(clip))
            check((fs::path(outDir) / name).string(), clip + "'s output");
    if (settings.regions.table)
        for (const RunInput& input : inputs)
            check((fs::path(outDir) / (input.name + "-regions.csv")).string(),
                  input.path + "'s region table");
    refuseSummaryInTheWay(inputs, file, settings);
    refuseDiagInTheWay(inputs, file, settings);
    // An earlier run's summary may be replaced: the same command runs again.
    if (!settings.summaryPath.empty())
        check(settings.summaryPath, "the summary", "--summary",
              !isEarlierSummary(settings.summaryPath));
    refuseReadingOwnOutputs(read, inputs, videos, file, settings);
}

// Says which files of an earlier run in the output folder, under this run's
// image names, this run does not write, so that they are not taken for its
// own: a score left out, a region table not asked for, the segmentation of a
// label this tool lacks. They stay.
void noteEarlierOutputs(const std::vector<RunInput>& inputs, const ToolFile& file,
                        const RunSettings& settings) {
    const fs::path dir = settings.outDir.empty() ? "." : settings.outDir;
    const std::string grey = outputExtension(settings.format, false);
    std::set<std::string> names, written;
    for (const RunInput& input : inputs) {
        names.insert(input.name);
        for (const std::string& name : imageOutputNames(input.name, file, settings))
            written.insert(name);
    }
    std::vector<std::string> scores, others;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (written.count(name) || !it->is_regular_file(ec)) continue;
        const auto endsWith = [&](const std::string& suffix) {
            return name.size() > suffix.size() &&
                   name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        const auto ours = [&](const std::string& suffix) {  // an image's name, then suffix
            return endsWith(suffix) && names.count(name.substr(0, name.size() - suffix.size()));
        };
        if (ours("-score" + grey)) {
            scores.push_back(it->path().string());
            continue;
        }
        bool stale = ours("-regions.csv");
        for (std::size_t at = name.find("-seg-"); !stale && at != std::string::npos;
             at = name.find("-seg-", at + 1))
            stale = endsWith(grey) && names.count(name.substr(0, at));
        if (stale) others.push_back(it->path().string());
    }
    const auto note = [](const char* what, std::vector<std::string> found, const char* one,
                         const char* many) {
        if (found.empty()) return;
        std::sort(found.begin(), found.end());
        std::cerr << "clsg: note: " << what << oneLine(found.front());
        if (found.size() > 1) std::cerr << " and " << found.size() - 1 << " more";
        std::cerr << (found.size() > 1 ? " were there before this run and stay, not "
                                       : " was there before this run and stays, not ")
                  << (found.size() > 1 ? many : one) << " of this run\n";
    };
    note("--no-score: ", scores, "scores", "scores");
    note("", others, "an output", "outputs");
}

}  // namespace clsg
